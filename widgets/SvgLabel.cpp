#include "SvgLabel.h"

#include <QPainter>
#include <QSvgRenderer>

#include "Log.h"

SvgLabel::SvgLabel(QWidget* parent)
    : QLabel(parent)
{
}

SvgLabel::~SvgLabel()
{
    if (svgRenderer) {
        delete svgRenderer;
        svgRenderer = nullptr;
        update();
    }
}

bool SvgLabel::setSvg(const QString& path)
{
    auto* renderer = new QSvgRenderer(path);
    if (!renderer->isValid()) {
        LOGE << "Failed to load SVG:" << path;
        delete renderer;
        clearSvg();
        return false;
    }
    delete svgRenderer;
    svgRenderer = renderer;
    update();
    return true;
}

void SvgLabel::clearSvg()
{
    if (!svgRenderer)
        return;
    delete svgRenderer;
    svgRenderer = nullptr;
    update();
}

void SvgLabel::setRotation(int degrees)
{
    if (rotationDegrees == degrees)
        return;
    rotationDegrees = degrees;
    update();
}

void SvgLabel::paintEvent(QPaintEvent* event)
{
    if (!svgRenderer) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (rotationDegrees != 0) {
        painter.translate(width() / 2, height() / 2);
        painter.rotate(rotationDegrees);
        painter.translate(-(width() / 2), -(height() / 2));
    }
    const QSize target = svgRenderer->defaultSize().scaled(size(), Qt::KeepAspectRatio);
    const QRect rect((width() - target.width()) / 2, (height() - target.height()) / 2,
                     target.width(), target.height());
    svgRenderer->render(&painter, rect);
}
