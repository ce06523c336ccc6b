#pragma once

#include <QFrame>
#include <QSvgRenderer>

// A bordered box that shows a picture at its natural size from its inner
// top-left corner. The box never resizes itself to the picture, and whatever
// lies beyond its inner edges is cut off. The picture is vector, drawn at the
// screen's own density, so it stays crisp on high-density screens.
class PictureBox : public QFrame {
    Q_OBJECT

public:
    explicit PictureBox(QWidget *parent = nullptr);

    // An SVG file; its width and height attributes give the natural size.
    void setPicture(const QString &fileName);
    // In device-independent pixels, 96 to the inch.
    QSizeF naturalSize() const;
    // Where the picture lies in the box's own coordinates, before clipping.
    QRectF pictureRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QSvgRenderer m_renderer;
    QSizeF m_naturalSize;
};
