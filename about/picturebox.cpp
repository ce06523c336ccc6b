#include "picturebox.h"

#include <QFile>
#include <QPainter>
#include <QRegularExpression>

namespace {

// The natural size from the root element's width and height, given in mm,
// cm, in, pt or px; the renderer itself only knows the view box.
QSizeF svgNaturalSize(const QByteArray &svg)
{
    static const QRegularExpression root(QStringLiteral("<svg\\b[^>]*>"));
    const QString element = root.match(QString::fromUtf8(svg)).captured(0);
    const auto length = [&element](const char *attribute) -> qreal {
        const QRegularExpression pattern(
            QStringLiteral("\\b%1=\"([0-9.]+)(mm|cm|in|pt|px)?\"").arg(QLatin1String(attribute)));
        const QRegularExpressionMatch match = pattern.match(element);
        if (!match.hasMatch())
            return 0;
        const qreal value = match.captured(1).toDouble();
        const QString unit = match.captured(2);
        if (unit == QLatin1String("mm"))
            return value * 96 / 25.4;
        if (unit == QLatin1String("cm"))
            return value * 96 / 2.54;
        if (unit == QLatin1String("in"))
            return value * 96;
        if (unit == QLatin1String("pt"))
            return value * 96 / 72;
        return value;
    };
    return QSizeF(length("width"), length("height"));
}

} // namespace

PictureBox::PictureBox(QWidget *parent) : QFrame(parent)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
}

void PictureBox::setPicture(const QString &fileName)
{
    QFile file(fileName);
    const QByteArray svg = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    m_renderer.load(svg);
    m_naturalSize = svgNaturalSize(svg);
    update();
}

QSizeF PictureBox::naturalSize() const
{
    return m_naturalSize;
}

QRectF PictureBox::pictureRect() const
{
    return QRectF(contentsRect().topLeft(), naturalSize());
}

void PictureBox::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    if (!m_renderer.isValid())
        return;
    QPainter painter(this);
    painter.setClipRect(contentsRect());
    m_renderer.render(&painter, pictureRect());
}
