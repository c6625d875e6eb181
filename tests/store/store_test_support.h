#pragma once
// Each test gets a directory of its own and a known key setting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "store/record_set.h"
#include "store/store_access.h"
#include "support/temp_dir.h"

namespace karvex::testing {

class StoreDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        tmp_ = std::make_unique<TempDir>("karvex-store");
        dir_ = tmp_->path();
    }
    void TearDown() override { tmp_.reset(); }

    std::int64_t Count(StoreAccess& store, const std::string& table) {
        RecordSet rs;
        std::int64_t n = -1;
        EXPECT_EQ(rs.Open(store.Connection(), Selection::Of(table)), 0) << table;
        EXPECT_EQ(rs.RecordCount(n), 0);
        return n;
    }

    std::filesystem::path dir_;

private:
    std::unique_ptr<TempDir> tmp_;
};

// A temporary data directory with an open store in it.
class OpenStoreTest : public StoreDirTest {
protected:
    void SetUp() override {
        StoreDirTest::SetUp();
        store_ = std::make_unique<StoreAccess>(dir_);
        ASSERT_EQ(store_->Open(), 0) << store_->LastErrorText();
    }
    void TearDown() override {
        store_.reset();
        StoreDirTest::TearDown();
    }

    std::unique_ptr<StoreAccess> store_;
};

}  // namespace karvex::testing
