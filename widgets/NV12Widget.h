#pragma once
// Camera preview: draws NV12 frames (full-size luma plane, then half-size
// interleaved Cb/Cr pairs) with OpenGL. Both planes are uploaded as textures on
// every repaint and converted to RGB in the fragment shader; the CPU never
// touches the pixels. The frame is letterboxed in the palette's window colour.
// All members are used on the GUI thread only.

#include <cstdint>
#include <functional>
#include <memory>

#include <QOpenGLBuffer>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>
#include <QOpenGLWidget>
#include <QPointF>
#include <QRect>
#include <QString>
#include <vector>

class NV12Widget : public QOpenGLWidget, private QOpenGLFunctions {
    Q_OBJECT
public:
    explicit NV12Widget(QWidget* parent = nullptr);
    ~NV12Widget() override;

    // Takes ownership of buffer (allocated with new[], one NV12 frame of
    // width x height, width*height*3/2 bytes) and schedules a repaint.
    // A null buffer or a size below 2x2 leaves the widget frame-less.
    void updateFrameNV12(uint8_t* buffer, int width, int height);
    void updateFrameNV12(std::unique_ptr<uint8_t[]> buffer, int width, int height);

    // Loads one raw NV12 frame (e.g. ":/VideoData/2D.nv12", 280, 250). A
    // missing or short file is logged and leaves the widget frame-less.
    void updateFrameNV12FromFile(const QString& path, int width, int height);

    bool hasFrame() const;
    QSize frameSize() const { return QSize(frameWidth, frameHeight); }
    bool isOpenGLES() const { return isGLES; }
    bool usesLumaAlphaUV() const { return useLumaAlphaUV; }
    // The area the frame was last drawn into, in device pixels, GL origin
    // (bottom left); empty before the first paint with a frame.
    QRect lastViewport() const { return lastViewport_; }

    // Largest rectangle of the frame's aspect centred in a w x h area.
    static QRect letterboxViewport(int frameW, int frameH, int w, int h);

    // Monotonic milliseconds used by the double-tap detector; tests replace it.
    void setTapClockForTest(std::function<qint64()> nowMs);

signals:
    // Left-button double click or single-finger double tap.
    void doubleClicked();

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;
    bool event(QEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    void initShader();
    void releaseGLResources();
    void clearToBackground();
    void applyLetterbox(int w, int h);
    void dropFrame();
    void handleTap(const QPointF& pos);

    bool glResourcesReleased = false;
    int frameWidth = 0;
    int frameHeight = 0;
    const uint8_t* yPlane = nullptr;
    const uint8_t* uvPlane = nullptr;
    int yStride = 0;
    int uvStride = 0;
    QOpenGLBuffer vbo;
    // Held by pointer so a new context (widget moved to another window) gets a
    // fresh program instead of one bound to a dead context.
    std::unique_ptr<QOpenGLShaderProgram> program;
    GLuint textureYId = 0;
    GLuint textureUVId = 0;
    std::unique_ptr<uint8_t[]> frameBuffer;  // the memory yPlane and uvPlane point into

    // Double-tap detector: tapTimeMs < 0 means no tap is pending.
    qint64 tapTimeMs = -1;
    QPointF lastTapPos;
    int tapCount = 0;
    int maxTouchPoints_ = 0;  // most fingers seen in the current touch sequence
    std::function<qint64()> tapClock_;

    bool isGLES = false;
    bool useLumaAlphaUV = false;

    QRect lastViewport_;
    std::vector<uint8_t> chromaScratch_;  // tight copy of the chroma rows for odd widths
};
