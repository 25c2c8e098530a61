#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

namespace Ui {
class MessageBox;
}

namespace view {

// The program's own modal message: a sign picture, a title and a text with
// "OK" and, for questions, "Cancel". The code selects the sign and the buttons.
class MessageBox : public QDialog {
    Q_OBJECT
public:
    explicit MessageBox(QWidget* parent = nullptr);
    ~MessageBox() override;

    // Fills the box, runs it modally and returns true when the user accepted it.
    bool display(int code, QString title, QString text);

    // The sign picture of a code.
    static QString signPath(int code);

    // The window dialogs are centred over: the program's main window while
    // it is shown, else none (the screen's centre).
    static QWidget* mainWindow();

    // Test seam: when set, the handler is called with this box once it runs
    // modally (from inside its event loop), so that a test can answer it by
    // clicking a button or pressing a key. Pass an empty function to clear.
    using ShownHandler = std::function<void(MessageBox&)>;
    void setShownHandler(ShownHandler handler) { m_shownHandler = std::move(handler); }

private slots:
    void on_okButton_clicked();
    void on_cancelButton_clicked();

private:
    void fitText();

    std::unique_ptr<Ui::MessageBox> m_ui;
    QSize m_formSize;
    ShownHandler m_shownHandler;
};

} // namespace view
