// checkpak: the appliance's package checker, for the simulated appliance.
//
//   checkpak [-k KEY.der] PACKAGE
//
// Checks PACKAGE.sig against PACKAGE with the package key built in (the
// development key keys/dev/package.der unless the build names another), or
// with KEY.der. Exit status 0: valid; 1: invalid or unreadable; 2: usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mif_version.h"
#include "package.h"
#include "package_key.inc"

namespace {

bool readFile(const char *path, std::vector<uint8_t> *bytes)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    uint8_t buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + got);
    fclose(f);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<uint8_t> key(kPackageKey, kPackageKey + sizeof kPackageKey);
    int arg = 1;
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        printf("Usage: checkpak [-k KEY.der] PACKAGE\n"
               "Checks the signature PACKAGE.sig (RSA-PSS over SHA-512) of the data package\n"
               "PACKAGE with the package key built in, or with the DER public key KEY.der.\n"
               "\n"
               "Options:\n"
               "  -k KEY.der   check with this public key instead\n"
               "  -h, --help   print this help and exit\n"
               "  --version    print the version and exit\n"
               "\n"
               "Exit status: 0 valid, 1 invalid or unreadable, 2 a usage error.\n");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("checkpak %s\n", MIF_VERSION);
        return 0;
    }
    if (arg + 1 < argc && strcmp(argv[arg], "-k") == 0) {
        key.clear();
        if (!readFile(argv[arg + 1], &key)) {
            fprintf(stderr, "checkpak: cannot read %s\n", argv[arg + 1]);
            return 1;
        }
        arg += 2;
    }
    if (arg + 1 != argc || argv[arg][0] == '-') {
        fprintf(stderr, "usage: checkpak [-k KEY.der] PACKAGE   (checks PACKAGE.sig)\n");
        return 2;
    }
    std::string package = argv[arg];
    std::string error;
    PackageCheck result = checkPackage(package, package + ".sig", key.data(), key.size(), &error);
    if (result != PACKAGE_VALID) {
        fprintf(stderr, "checkpak: %s: %s\n", package.c_str(), error.c_str());
        return 1;
    }
    return 0;
}
