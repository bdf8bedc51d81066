// A store that takes no writes, for the tests of what a failed save does.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace varnell::test {

// Makes the store read-only in a way SQLite honours whoever runs it (root
// included, unlike file modes): a file format write version it does not know.
// Reads go on; every write fails with SQLite's own reason.
inline void MakeStoreReadOnly(const std::string& path)
{
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(18);
    file.put(3);
    ASSERT_TRUE(file.good()) << path;
}

} // namespace varnell::test
