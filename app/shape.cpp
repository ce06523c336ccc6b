#include "shape.h"

#include "formunits.h"

#include <QPainter>

Shape::Shape(QWidget *parent) : QWidget(parent)
{
    // Every pixel is painted, so Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void Shape::setFillColor(int bgr)
{
    // Polling rewrites the same colour ten times a second; only a change
    // is worth a repaint.
    if (bgr == m_fillColor)
        return;
    m_fillColor = bgr;
    update();
}

void Shape::setBorderColor(int bgr)
{
    if (bgr == m_borderColor)
        return;
    m_borderColor = bgr;
    update();
}

void Shape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), FormUnits::bgrColor(m_borderColor));
    painter.fillRect(rect().adjusted(1, 1, -1, -1), FormUnits::bgrColor(m_fillColor));
}
