// A folder of a test's own under /tmp, removed with what it holds.
#ifndef TESTS_UNIT_TEMPDIR_H
#define TESTS_UNIT_TEMPDIR_H

#include <stdlib.h>

#include <filesystem>
#include <string>

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/rs232c-test-XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

#endif
