#pragma once

#include <QObject>

namespace controller {

class BarcodeReader : public QObject {
    Q_OBJECT
public:
    explicit BarcodeReader(QObject* parent = nullptr);
};

} // namespace controller
