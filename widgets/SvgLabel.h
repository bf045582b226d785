#pragma once
// A label that paints a vector graphic scaled to its size (aspect kept,
// centred, optionally rotated). Without a graphic it is a plain QLabel.

#include <QLabel>
#include <QString>

class QSvgRenderer;

class SvgLabel : public QLabel {
    Q_OBJECT
public:
    explicit SvgLabel(QWidget* parent = nullptr);
    ~SvgLabel() override;

    // Loads a vector graphic (e.g. ":/Svg/Confirm.svg") and repaints.
    // Returns false, logs and goes back to plain-label painting when the
    // file is missing or not a valid graphic.
    bool setSvg(const QString& path);
    // Drops the graphic; the label paints as a plain QLabel again.
    void clearSvg();
    bool hasSvg() const { return svgRenderer != nullptr; }

    // Rotation of the graphic about the label centre, in degrees.
    void setRotation(int degrees);
    int rotation() const { return rotationDegrees; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSvgRenderer* svgRenderer = nullptr;  // owned
    int rotationDegrees = 0;
};
