#include "NV12Widget.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QPalette>
#include <QTimer>
#include <QTouchEvent>

#include "Log.h"

// Texture names in desktop headers; OpenGL ES 2 headers may lack the
// red/red-green formats, which that path does not use.
#ifndef GL_RED
#define GL_RED 0x1903
#endif
#ifndef GL_RG
#define GL_RG 0x8227
#endif
#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif

namespace {

// Quad positions, then texture coordinates; texture row 0 (the first image
// row) maps to the top of the widget.
const GLfloat kVertices[16] = {
    -1.0f, 1.0f, 1.0f, 1.0f, 1.0f, -1.0f, -1.0f, -1.0f,
    0.0f, 0.0f, 1.0f, 0.0f, 1.0f, 1.0f, 0.0f, 1.0f,
};
constexpr int kTexCoordOffset = 8 * sizeof(GLfloat);
constexpr int kVertexStride = 2 * sizeof(GLfloat);

const char* const kVertexShader =
    "attribute vec4 vertexIn;\n"
    "attribute vec4 textureIn;\n"
    "varying vec4 textureOut;\n"
    "void main(void)\n"
    "{\n"
    "    gl_Position = vertexIn;\n"
    "    textureOut = textureIn;\n"
    "}\n";

const char* const kVertexShaderES3 =
    "#version 300 es\n"
    "in vec4 vertexIn;\n"
    "in vec4 textureIn;\n"
    "out vec4 textureOut;\n"
    "void main(void)\n"
    "{\n"
    "    gl_Position = vertexIn;\n"
    "    textureOut = textureIn;\n"
    "}\n";

// Limited-range luma offset; the matrix columns give
// R = Y' + 1.13983 V', G = Y' - 0.39465 U' - 0.58060 V', B = Y' + 2.03211 U'.
#define KAVREL_NV12_FRAGMENT_BODY                                                   \
    "varying mediump vec4 textureOut;\n"                                            \
    "uniform sampler2D textureY;\n"                                                 \
    "uniform sampler2D textureUV;\n"                                                \
    "uniform float uvUseAlpha;\n"                                                   \
    "void main(void)\n"                                                             \
    "{\n"                                                                           \
    "    vec3 yuv;\n"                                                               \
    "    yuv.x = texture2D(textureY, textureOut.st).r - 0.0625;\n"                  \
    "    vec4 uvTex = texture2D(textureUV, textureOut.st);\n"                       \
    "    yuv.y = uvTex.r - 0.5;\n"                                                  \
    "    yuv.z = mix(uvTex.g, uvTex.a, uvUseAlpha) - 0.5;\n"                        \
    "    vec3 rgb = mat3(1.0, 1.0, 1.0, 0.0, -0.39465, 2.03211, 1.13983, -0.58060, 0.0) * yuv;\n" \
    "    gl_FragColor = vec4(rgb, 1.0);\n"                                          \
    "}\n"

const char* const kFragmentShader = KAVREL_NV12_FRAGMENT_BODY;

const char* const kFragmentShaderES2 =
    "precision mediump int;\n"
    "precision mediump float;\n" KAVREL_NV12_FRAGMENT_BODY;

const char* const kFragmentShaderES3 =
    "#version 300 es\n"
    "precision mediump float;\n"
    "in vec4 textureOut;\n"
    "out vec4 fragColor;\n"
    "uniform sampler2D textureY;\n"
    "uniform sampler2D textureUV;\n"
    "uniform float uvUseAlpha;\n"
    "void main(void)\n"
    "{\n"
    "    vec3 yuv;\n"
    "    yuv.x = texture(textureY, textureOut.st).r - 0.0625;\n"
    "    vec4 uvTex = texture(textureUV, textureOut.st);\n"
    "    yuv.y = uvTex.r - 0.5;\n"
    "    yuv.z = uvTex.g - 0.5;\n"
    "    vec3 rgb = mat3(1.0, 1.0, 1.0, 0.0, -0.39465, 2.03211, 1.13983, -0.58060, 0.0) * yuv;\n"
    "    fragColor = vec4(rgb, 1.0);\n"
    "}\n";

// Double tap: the second tap must come within this time and distance.
constexpr qint64 kDoubleTapMaxMs = 299;
constexpr double kDoubleTapMaxDistance = 50.0;

qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

} // namespace

NV12Widget::NV12Widget(QWidget* parent)
    : QOpenGLWidget(parent)
    , vbo(QOpenGLBuffer::VertexBuffer)
    , tapClock_(monotonicMs)
{
    setAttribute(Qt::WA_AcceptTouchEvents);
    // The preview reacts to a double tap; give assistive tools a name for it.
    setAccessibleName(QStringLiteral("预览画面"));
}

NV12Widget::~NV12Widget()
{
    LOGD << "NV12Widget destructor called";
    // The base class destroys the context after this destructor has run; the
    // release slot must not be called on a half-destroyed object then.
    if (QOpenGLContext* ctx = context())
        disconnect(ctx, nullptr, this, nullptr);
    releaseGLResources();
}

void NV12Widget::setTapClockForTest(std::function<qint64()> nowMs)
{
    tapClock_ = nowMs ? std::move(nowMs) : std::function<qint64()>(monotonicMs);
}

bool NV12Widget::hasFrame() const
{
    return yPlane && uvPlane && frameWidth > 1 && frameHeight > 1;
}

void NV12Widget::initializeGL()
{
    initializeOpenGLFunctions();
    if (QOpenGLContext* ctx = context()) {
        isGLES = ctx->isOpenGLES();
        useLumaAlphaUV = isGLES && ctx->format().majorVersion() < 3;
    }
    // A context created again (the widget moved to another window) owns
    // nothing of the old one.
    glResourcesReleased = false;

    glDisable(GL_DEPTH_TEST);

    vbo.create();
    vbo.bind();
    vbo.allocate(kVertices, sizeof(kVertices));

    initShader();

    glGenTextures(1, &textureYId);
    glGenTextures(1, &textureUVId);

    clearToBackground();

    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this,
            &NV12Widget::releaseGLResources, Qt::UniqueConnection);
    LOGD << "OpenGL initialization successful";
}

void NV12Widget::initShader()
{
    const char* vertexSource = kVertexShader;
    const char* fragmentSource = kFragmentShader;
    if (isGLES && useLumaAlphaUV) {
        fragmentSource = kFragmentShaderES2;
    } else if (isGLES) {
        vertexSource = kVertexShaderES3;
        fragmentSource = kFragmentShaderES3;
    }

    program = std::make_unique<QOpenGLShaderProgram>();
    if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, vertexSource))
        LOGE << "Vertex shader compile error: " << program->log();
    if (!program->addShaderFromSourceCode(QOpenGLShader::Fragment, fragmentSource))
        LOGE << "Fragment shader compile error: " << program->log();
    if (!program->link())
        LOGE << "Shader link error: " << program->log();
    program->bind();
}

void NV12Widget::releaseGLResources()
{
    if (glResourcesReleased)
        return;
    glResourcesReleased = true;
    if (!context())
        return;
    makeCurrent();
    if (textureYId != 0) {
        glDeleteTextures(1, &textureYId);
        textureYId = 0;
    }
    if (textureUVId != 0) {
        glDeleteTextures(1, &textureUVId);
        textureUVId = 0;
    }
    program.reset();
    vbo.destroy();
    doneCurrent();
}

void NV12Widget::clearToBackground()
{
    const QColor c = palette().brush(QPalette::Window).color();
    glClearColor(c.redF(), c.greenF(), c.blueF(), c.alphaF());
    glClear(GL_COLOR_BUFFER_BIT);
}

QRect NV12Widget::letterboxViewport(int frameW, int frameH, int w, int h)
{
    if (frameW < 1 || frameH < 1 || w < 1 || h < 1)
        return QRect(0, 0, w, h);
    const float imageAspect = float(frameW) / float(frameH);
    const float widgetAspect = float(w) / float(h);
    if (widgetAspect > imageAspect) {
        const int vw = int(h * imageAspect);
        return QRect((w - vw) / 2, 0, vw, h);
    }
    if (imageAspect > widgetAspect) {
        const int vh = int(w / imageAspect);
        return QRect(0, (h - vh) / 2, w, vh);
    }
    return QRect(0, 0, w, h);
}

void NV12Widget::applyLetterbox(int w, int h)
{
    const QRect vp = letterboxViewport(frameWidth, frameHeight, w, h);
    glViewport(vp.x(), vp.y(), vp.width(), vp.height());
    if (vp != lastViewport_) {
        LOGD << "Viewport set to x:" << vp.x() << " y:" << vp.y() << " width:" << vp.width()
             << " height:" << vp.height();
        lastViewport_ = vp;
    }
}

void NV12Widget::resizeGL(int w, int h)
{
    glViewport(0, 0, w, h);
    if (frameWidth < 1 || frameHeight < 1)
        return;
    applyLetterbox(w, h);
}

void NV12Widget::paintGL()
{
    // The toolkit resets the viewport to the whole widget before each paint,
    // and a frame of another size needs other bands: clear the whole area to
    // the background, then letterbox from the current frame size every time.
    clearToBackground();
    if (!hasFrame() || !program)
        return;
    const qreal dpr = devicePixelRatioF();
    applyLetterbox(int(width() * dpr), int(height() * dpr));

    program->bind();
    program->enableAttributeArray("vertexIn");
    program->enableAttributeArray("textureIn");
    program->setAttributeBuffer("vertexIn", GL_FLOAT, 0, 2, kVertexStride);
    program->setAttributeBuffer("textureIn", GL_FLOAT, kTexCoordOffset, 2, kVertexStride);
    program->setUniformValue("textureY", 1);
    program->setUniformValue("textureUV", 0);
    program->setUniformValue("uvUseAlpha", useLumaAlphaUV ? 1.0f : 0.0f);

    // Rows of odd widths are not 4-byte aligned.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);

    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, textureYId);
    if (useLumaAlphaUV) {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, frameWidth, frameHeight, 0, GL_LUMINANCE,
                     GL_UNSIGNED_BYTE, yPlane);
    } else {
        glPixelStorei(GL_UNPACK_ROW_LENGTH, yStride);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RED, frameWidth, frameHeight, 0, GL_RED,
                     GL_UNSIGNED_BYTE, yPlane);
    }
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);

    // Chroma rows are uvStride bytes apart. For an odd width that is an odd
    // number of bytes, which a row length counted in two-byte texels (or no
    // row length at all on OpenGL ES 2) cannot express: copy those rows tight.
    const int uvW = frameWidth / 2;
    const int uvH = frameHeight / 2;
    const uint8_t* uvData = uvPlane;
    int uvRowLength = uvStride / 2;
    if (uvStride != uvW * 2) {
        chromaScratch_.resize(size_t(uvW) * 2 * uvH);
        for (int row = 0; row < uvH; ++row)
            std::memcpy(chromaScratch_.data() + size_t(row) * uvW * 2,
                        uvPlane + size_t(row) * uvStride, size_t(uvW) * 2);
        uvData = chromaScratch_.data();
        uvRowLength = uvW;
    }
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, textureUVId);
    if (useLumaAlphaUV) {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE_ALPHA, uvW, uvH, 0, GL_LUMINANCE_ALPHA,
                     GL_UNSIGNED_BYTE, uvData);
    } else {
        glPixelStorei(GL_UNPACK_ROW_LENGTH, uvRowLength);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RG, uvW, uvH, 0, GL_RG, GL_UNSIGNED_BYTE, uvData);
        // Leave the default for anything else that uploads in this context.
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    }
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);

    glDrawArrays(GL_TRIANGLE_FAN, 0, 4);
    program->disableAttributeArray("vertexIn");
    program->disableAttributeArray("textureIn");
    program->release();
}

void NV12Widget::updateFrameNV12(uint8_t* buffer, int width, int height)
{
    updateFrameNV12(std::unique_ptr<uint8_t[]>(buffer), width, height);
}

void NV12Widget::updateFrameNV12(std::unique_ptr<uint8_t[]> buffer, int width, int height)
{
    // Ownership moves here; the previous frame is freed.
    frameBuffer = std::move(buffer);
    if (!frameBuffer || width < 2 || height < 2) {
        if (frameBuffer)
            LOGW << "Ignoring NV12 frame of unusable size " << width << "x" << height;
        dropFrame();
        update();
        return;
    }
    frameWidth = width;
    frameHeight = height;
    yPlane = frameBuffer.get();
    uvPlane = frameBuffer.get() + size_t(width) * height;
    yStride = width;
    uvStride = width;
    update();
}

void NV12Widget::dropFrame()
{
    frameBuffer.reset();
    yPlane = nullptr;
    uvPlane = nullptr;
    frameWidth = 0;
    frameHeight = 0;
    yStride = 0;
    uvStride = 0;
}

void NV12Widget::updateFrameNV12FromFile(const QString& path, int width, int height)
{
    if (width < 2 || height < 2) {
        LOGE << "Invalid NV12 frame size " << width << "x" << height << " for " << path;
        dropFrame();
        update();
        return;
    }
    const qint64 expected = qint64(width) * height * 3 / 2;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        LOGE << "Failed to open NV12 file: " << path;
        // Keeping the old planes with the new size would read past their end.
        dropFrame();
        update();
        return;
    }
    if (file.size() < expected) {
        LOGW << "NV12 file size mismatch. Expected: " << expected << " bytes, Got: "
             << file.size() << " bytes";
    }

    auto buffer = std::make_unique<uint8_t[]>(size_t(expected));  // zero-filled
    const qint64 got = file.read(reinterpret_cast<char*>(buffer.get()), expected);
    file.close();

    if (got != expected) {
        LOGE << "Failed to read complete NV12 data. Read: " << got << " bytes, Expected: "
             << expected << " bytes";
        dropFrame();
        update();
        return;
    }
    frameBuffer = std::move(buffer);
    frameWidth = width;
    frameHeight = height;
    yStride = width;
    uvStride = width;
    yPlane = frameBuffer.get();
    uvPlane = frameBuffer.get() + size_t(width) * height;
    LOGD << "Successfully loaded NV12 frame from file: " << path << " (" << width << "x"
         << height << "), size: " << expected << " bytes";
    QTimer::singleShot(0, this, [this] { update(); });
}

void NV12Widget::mouseDoubleClickEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton) {
        LOGD << "Mouse double clicked";
        emit doubleClicked();
    }
    QOpenGLWidget::mouseDoubleClickEvent(e);
}

bool NV12Widget::event(QEvent* e)
{
    switch (e->type()) {
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
        break;
    case QEvent::TouchCancel:
        maxTouchPoints_ = 0;
        return QOpenGLWidget::event(e);
    default:
        return QOpenGLWidget::event(e);
    }

    auto* touch = static_cast<QTouchEvent*>(e);
    const int points = touch->touchPoints().size();
    if (e->type() == QEvent::TouchBegin)
        maxTouchPoints_ = 0;
    maxTouchPoints_ = std::max(maxTouchPoints_, points);
    e->accept();
    if (e->type() == QEvent::TouchEnd) {
        // A finger lifted early leaves one point in the end event; a touch
        // that ever had two fingers is still no tap.
        if (points == 1 && maxTouchPoints_ == 1)
            handleTap(touch->touchPoints().first().pos());
        maxTouchPoints_ = 0;
    }
    return true;
}

void NV12Widget::handleTap(const QPointF& pos)
{
    const qint64 now = tapClock_();
    const double distance = std::abs(pos.x() - lastTapPos.x()) + std::abs(pos.y() - lastTapPos.y());
    if (tapTimeMs >= 0 && now - tapTimeMs <= kDoubleTapMaxMs && distance < kDoubleTapMaxDistance)
        ++tapCount;
    else
        tapCount = 1;

    if (tapCount > 1) {
        LOGD << "Touch double tapped";
        emit doubleClicked();
        tapCount = 0;
        tapTimeMs = -1;
        return;
    }
    lastTapPos = pos;
    tapTimeMs = now;
}
