#pragma once

#include <QObject>

namespace controller {

class ExifInfo : public QObject {
    Q_OBJECT
public:
    explicit ExifInfo(QObject* parent = nullptr);
};

} // namespace controller
