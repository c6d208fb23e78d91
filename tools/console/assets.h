// The page's files, built into the program from tools/console/web and the
// charting library Debian installs: the console serves them from memory and
// reads no file at run time.
#pragma once

#include <cstddef>

struct Asset {
    const char *url;   // "/app.js"
    const char *kind;  // "html", "css" or "js"
    const unsigned char *data;
    size_t size;
};

// The asset served under `url`, or null.
const Asset *findAsset(const char *url);
