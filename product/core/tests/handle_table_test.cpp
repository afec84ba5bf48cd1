#include "handle_table.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using vrcc::CHandleTable;

HANDLE At(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

TEST(HandleTable, HandlesAreDistinctAlignedAndOnlyTheirOwnFindsARecord) {
    CHandleTable<int> table(0x30000);
    CHandleTable<int> other(0x40000);
    std::set<uintptr_t> seen;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 100; ++i) {
        HANDLE h = table.Add(std::make_shared<int>(i));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 8, 0u);
        EXPECT_GT(reinterpret_cast<uintptr_t>(h), 0x30000u);
        EXPECT_TRUE(seen.insert(reinterpret_cast<uintptr_t>(h)).second);
        handles.push_back(h);
    }
    EXPECT_EQ(*table.Find(handles[42]), 42);
    HANDLE foreign = other.Add(std::make_shared<int>(-1));
    for (HANDLE h : {At(0), At(0x30000), At(reinterpret_cast<uintptr_t>(handles[0]) + 1), foreign,
                     INVALID_HANDLE_VALUE})
        EXPECT_EQ(table.Find(h), nullptr);
    EXPECT_EQ(table.Remove(foreign), nullptr);
    EXPECT_EQ(*other.Find(foreign), -1) << "a failed remove leaves the other table alone";
}

TEST(HandleTable, RemovedHandleStaysDeadAndItsRecordLivesWhileHeld) {
    CHandleTable<int> table(0x10000);
    HANDLE h = table.Add(std::make_shared<int>(7));
    std::shared_ptr<int> held = table.Find(h);
    std::shared_ptr<int> removed = table.Remove(h);
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(removed, held);
    EXPECT_EQ(*held, 7);
    EXPECT_EQ(table.Remove(h), nullptr) << "closed twice";
    EXPECT_EQ(table.Find(h), nullptr);
    EXPECT_NE(table.Add(std::make_shared<int>(8)), h) << "a value is never given out again";
}

TEST(HandleTable, RefusesWhenTheValuesRunOut) {
    CHandleTable<int> table(UINTPTR_MAX - 24);
    EXPECT_EQ(table.Add(std::make_shared<int>(1)), At(UINTPTR_MAX - 16));
    EXPECT_EQ(table.Add(std::make_shared<int>(2)), At(UINTPTR_MAX - 8));
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { table.Add(std::make_shared<int>(3)); }),
              static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA))
        << "never wraps around, never INVALID_HANDLE_VALUE";
}

} // namespace
