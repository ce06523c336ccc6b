#pragma once

#include <QWidget>

// A solid rectangle whose fill and border colours are 0xBBGGRR values.
class Shape : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int fillColor READ fillColor WRITE setFillColor)
    Q_PROPERTY(int borderColor READ borderColor WRITE setBorderColor)

public:
    explicit Shape(QWidget *parent = nullptr);

    int fillColor() const { return m_fillColor; }
    int borderColor() const { return m_borderColor; }
    void setFillColor(int bgr);
    void setBorderColor(int bgr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_fillColor = 0;
    int m_borderColor = 0;
};
