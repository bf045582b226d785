#include "WidgetUtils.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <tuple>

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QListWidget>
#include <QListWidgetItem>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>

#include "Log.h"
#include "SelectableListItemButton.h"
#include "config_manager.h"

namespace {
// Rows shorter than this are too small to hit with a finger.
constexpr int kMinRowHeightPx = 40;

// The pages are laid out for this font on this panel.
constexpr int kReferenceFontSizePx = 36;
constexpr QSize kReferenceScreen(1024, 600);
// Below this Chinese text is hard to read at arm's length.
constexpr int kSmallestFontSizePx = 14;

const char* const kTouchListProperty = "kavrelTouchList";

// Qt shows assistive tools a list view's cells, whose one action selects the
// cell in the view; our rows are buttons laid over the cells and the view
// selects nothing, so that action would do nothing. A touch list is shown as
// a plain container instead: its row buttons are what tools see, named by
// their text, with "press" doing what a tap does.
class TouchListAccessible : public QAccessibleWidget {
public:
    explicit TouchListAccessible(QWidget* list) : QAccessibleWidget(list, QAccessible::List) {}
};

QAccessibleInterface* touchListAccessible(const QString&, QObject* object)
{
    if (object && object->isWidgetType() && object->property(kTouchListProperty).toBool())
        return new TouchListAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

void exposeRowButtons(QListWidget* list)
{
    if (list->property(kTouchListProperty).toBool())
        return;
    static const bool installed = [] {
        QAccessible::installFactory(touchListAccessible);
        return true;
    }();
    (void)installed;
    list->setProperty(kTouchListProperty, true);
    // An interface made before the list was marked would keep showing cells.
    QAccessibleInterface* existing = QAccessible::queryAccessibleInterface(list);
    if (existing && !dynamic_cast<TouchListAccessible*>(existing))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(existing));
}
} // namespace

void WidgetUtils::loadStyles(QWidget* widget, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        LOGE << "Failed to load stylesheet:" << path;
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    if (widget) {
        // constData() is NUL-terminated, so decoding stops at the first NUL.
        widget->setStyleSheet(scaledToScreen(QString::fromLatin1(bytes.constData())));
    }
}

QString WidgetUtils::scaledToScreen(const QString& styleSheet)
{
    const int configured = configuredFontSizePx();
    const int used = fontSizePx();
    if (used >= configured)
        return styleSheet;
    // A page's own sizes are set for the configured font: its type and its
    // buttons' heights shrink with it, never below readable or touchable.
    static const QRegularExpression size(QStringLiteral("(font-size|min-height):\\s*(\\d+)px"));
    QString scaled;
    int last = 0;
    for (auto it = size.globalMatch(styleSheet); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const int px = match.captured(2).toInt();
        const int floor = match.captured(1) == QLatin1String("font-size") ? kSmallestFontSizePx : kMinRowHeightPx;
        const int smaller = std::max(std::min(px, floor), px * used / configured);
        scaled += styleSheet.mid(last, match.capturedStart() - last)
            + QStringLiteral("%1: %2px").arg(match.captured(1)).arg(smaller);
        last = match.capturedEnd();
    }
    return scaled + styleSheet.mid(last);
}

int WidgetUtils::fittingFontSizePx(int configuredPx, const QSize& screen)
{
    if (screen.width() <= 0 || screen.height() <= 0)
        return configuredPx;
    const double scale = std::min(static_cast<double>(screen.width()) / kReferenceScreen.width(),
                                  static_cast<double>(screen.height()) / kReferenceScreen.height());
    const int largest = std::max(kSmallestFontSizePx, static_cast<int>(kReferenceFontSizePx * scale));
    return std::min(configuredPx, largest);
}

int WidgetUtils::fontSizePx()
{
    const int configured = configuredFontSizePx();
    // Without a GUI (tools, tests of the style texts) there is no screen to fit.
    const QScreen* screen = qobject_cast<QGuiApplication*>(QCoreApplication::instance())
        ? QGuiApplication::primaryScreen()
        : nullptr;
    if (!screen)
        return configured;
    const QSize size = screen->geometry().size();
    const int used = fittingFontSizePx(configured, size);
    if (used != configured) {
        static std::mutex mutex;
        static std::set<std::tuple<int, int, int>> told;  // (configured, width, height)
        std::lock_guard<std::mutex> lock(mutex);
        if (told.emplace(configured, size.width(), size.height()).second)
            LOGW << "Font size " << configured << " px does not fit the " << size.width() << "x" << size.height()
                 << " screen; using " << used << " px";
    }
    return used;
}

QString WidgetUtils::withFontSize(const QString& styleTemplate)
{
    return styleTemplate.arg(fontSizePx());
}

QString WidgetUtils::mainButtonStyleTemplate()
{
    return QStringLiteral(
        "QPushButton { background-color: #E5E7EB; color: #374151; border: 1px solid #D1D5DB; "
        "border-radius: 12px; font-size: %1px; font-weight: 600; padding: 10px;}"
        "QPushButton:hover { background-color: #DDE1E7;}"
        "QPushButton:pressed { background-color: #2D7FFF; color: #FFFFFF; border: 1px solid #1F64D1;}");
}

QString WidgetUtils::keypadDisplayStyleTemplate()
{
    return QStringLiteral(
        "QLabel { background-color: #FFFFFF; color: #1F2937; border: 2px solid #D1D5DB; "
        "border-radius: 8px; font-size: %1px; font-weight: 600; padding: 8px 16px;}");
}

QString WidgetUtils::mainButtonStyle()
{
    return withFontSize(mainButtonStyleTemplate());
}

QString WidgetUtils::keypadDisplayStyle()
{
    return withFontSize(keypadDisplayStyleTemplate());
}

void WidgetUtils::setIconButton(QAbstractButton* button, const QString& iconPath,
                                const QString& accessibleName, int iconSizePx)
{
    if (!button)
        return;
    button->setIcon(QIcon(iconPath));
    if (iconSizePx > 0)
        button->setIconSize(QSize(iconSizePx, iconSizePx));
    button->setAccessibleName(accessibleName);
    button->setToolTip(accessibleName);
}

void addListRow(QListWidget* list, QWidget* row, int height)
{
    exposeRowButtons(list);
    auto* item = new QListWidgetItem(list);  // the list owns the item
    row->setMinimumHeight(height);
    item->setSizeHint(QSize(0, height));
    list->addItem(item);
    list->setItemWidget(item, row);
}

SelectableListItemButton* addSelectableListItem(QListWidget* list, const QString& text,
                                                bool selected, int minHeight)
{
    if (!list)
        return nullptr;
    auto* button = new SelectableListItemButton(text, list);
    button->setSelected(selected);
    addListRow(list, button, minHeight);
    return button;
}

void fitListItemsToRows(QListWidget* list, int rows)
{
    if (!list || list->height() < 1 || rows < 1)
        return;
    const int rowHeight = std::max(list->height() / rows, kMinRowHeightPx);
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* item = list->item(i);
        item->setSizeHint(QSize(0, rowHeight));
        if (QWidget* w = list->itemWidget(item))
            w->setMinimumHeight(rowHeight);
    }
}
