#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class PictureBox;

// The About window: the program's title line, the version line and the USB
// emblem. It is created once and hidden, not destroyed, when closed, so every
// later opening shows the same window again.
class AboutForm : public QDialog {
    Q_OBJECT

public:
    explicit AboutForm(QWidget *parent = nullptr);

public slots:
    void Command1_Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    PictureBox *Picture1 = nullptr;
    QPushButton *Command1 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label1 = nullptr;
};
