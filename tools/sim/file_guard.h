// Holds a stdio stream for one scope and closes it when it goes.
#pragma once

#include <cstdio>

struct FileGuard {
    FILE *f;
    explicit FileGuard(FILE *file) : f(file) {}
    ~FileGuard()
    {
        if (f)
            fclose(f);
    }
    FileGuard(const FileGuard &) = delete;
    FileGuard &operator=(const FileGuard &) = delete;
};
