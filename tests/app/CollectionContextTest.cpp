#include <thread>

#include <gtest/gtest.h>

#include "CollectionContext.h"

TEST(CollectionContext, ReadersSeeWholeInfoWhileWritersReplaceIt)
{
    auto& context = CollectionContext::instance();
    CollectionInfo a;
    a.task_label = "a";
    a.devices = "cam_a";
    CollectionInfo b;
    b.task_label = "b";
    b.devices = "cam_b";
    context.setCollectionInfo(a);

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const CollectionInfo copy = context.collectionInfo();
            if (copy.devices != "cam_" + copy.task_label)
                ++torn;
        }
    });
    for (int i = 0; i < 2000; ++i)
        context.setCollectionInfo(i % 2 ? a : b);
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    context.setCollectionInfo({});
}
