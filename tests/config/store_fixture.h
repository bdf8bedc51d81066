// Shared set-up of the settings store tests: every test gets its own
// XDG_CONFIG_HOME (nothing touches the real home), default settings and an
// empty item table.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/byte_reader.h"
#include "config/settings.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "tests/support/process.h"

namespace varnell::test {

inline constexpr std::uint32_t kLocalAddressBE = 0x0100007F; // 127.0.0.1

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", dir_.Path().c_str(), 1);
        CurrentSettings() = DefaultSettings(kLocalAddressBE);
        InitItemTable();
        SetSaveTransactionHook(nullptr);
    }
    void TearDown() override { SetSaveTransactionHook(nullptr); }
    const std::string& Dir() const { return dir_.Path(); }

private:
    TempDir dir_;
};

// Builds record bodies and whole records by hand, as a hostile file would.
struct Bytes {
    std::vector<std::uint8_t> b;
    Bytes& I32(std::int64_t v)
    {
        std::uint8_t x[4];
        StoreU32LE(x, static_cast<std::uint32_t>(v));
        b.insert(b.end(), x, x + 4);
        return *this;
    }
    Bytes& Text(const std::string& t)
    {
        b.insert(b.end(), t.begin(), t.end());
        b.push_back(0);
        return *this;
    }
    Bytes& Raw(const void* p, std::size_t n)
    {
        const auto* c = static_cast<const std::uint8_t*>(p);
        b.insert(b.end(), c, c + n);
        return *this;
    }
    Bytes& Zeros(std::size_t n)
    {
        b.insert(b.end(), n, 0);
        return *this;
    }
    Bytes& Record(std::int32_t type, const Bytes& body)
    {
        I32(0).I32(type).I32(static_cast<std::int64_t>(body.b.size()));
        b.insert(b.end(), body.b.begin(), body.b.end());
        return *this;
    }
};

// Adds a live item through the table's own operation.
inline std::uint32_t AddItem(const std::string& name, std::uint32_t serverBE = 0x0200007F)
{
    ItemEdit e;
    e.interval = 1000;
    e.timeout = 2000;
    e.serverBE = serverBE;
    e.name = name;
    e.description = name + " description";
    e.domain = name + ".example";
    const int slot = NewItemSlot();
    EXPECT_GE(slot, 0);
    EXPECT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
    return static_cast<std::uint32_t>(slot);
}

} // namespace varnell::test
