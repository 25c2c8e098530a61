#pragma once

#include <QObject>

namespace controller {

class RestClient : public QObject {
    Q_OBJECT
public:
    explicit RestClient(QObject* parent = nullptr);
};

} // namespace controller
