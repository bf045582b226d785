#pragma once
// Scratch HOME and collection context for page tests; list rows and modal dialogs.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <QApplication>
#include <QListWidget>
#include <QStringList>
#include <QTimer>

#include <gtest/gtest.h>

#include "CollectionContext.h"
#include "ConfigFixture.h"
#include "SelectableListItemButton.h"

namespace kavrel::test {

class PagesTest : public ScratchHomeTest {
protected:
    void SetUp() override
    {
        ScratchHomeTest::SetUp();
        CollectionContext::instance().setCollectionInfo(CollectionInfo{});
    }
    void TearDown() override
    {
        ScratchHomeTest::TearDown();
        CollectionContext::instance().setCollectionInfo(CollectionInfo{});
    }
    // A file in the current scenario set.
    std::string putInSet(const std::string& name, const std::string& content) const
    {
        return put(".config/kavrel/scenario/scenario_20250101_120000/" + name, content);
    }
};

inline SelectableListItemButton* rowButton(QListWidget* list, int row)
{
    QListWidgetItem* item = list ? list->item(row) : nullptr;
    return item ? qobject_cast<SelectableListItemButton*>(list->itemWidget(item)) : nullptr;
}

inline QStringList rowTexts(QListWidget* list)
{
    QStringList texts;
    for (int i = 0; list && i < list->count(); ++i)
        texts << (rowButton(list, i) ? rowButton(list, i)->text() : QStringLiteral("<no button>"));
    return texts;
}

inline QList<int> selectedRows(QListWidget* list)
{
    QList<int> rows;
    for (int i = 0; list && i < list->count(); ++i) {
        if (rowButton(list, i) && rowButton(list, i)->selected)
            rows << i;
    }
    return rows;
}

// Runs `answer` on the modal dialog the next action opens (tests never wait
// on a modal box). The returned flag tells whether it ran.
inline std::shared_ptr<bool> answerNextModal(std::function<void(QWidget*)> answer)
{
    auto answered = std::make_shared<bool>(false);
    QTimer::singleShot(0, [answer, answered] {
        if (waitUntil([] { return QApplication::activeModalWidget() != nullptr; }, 3000)) {
            *answered = true;
            answer(QApplication::activeModalWidget());
        }
    });
    return answered;
}

} // namespace kavrel::test
