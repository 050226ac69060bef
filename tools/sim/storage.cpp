// The instrument's file store: one flat folder. Names are plain file names;
// nothing is ever read or written outside the folder. A file being received
// lives under a hidden name until it is complete.
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim.h"

static bool gTemporary = false;  // made by us, removed at the end

bool storageInit() {
    if (gOpt.storage.empty()) {
        char tmpl[] = "/tmp/kestrode-sim-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("kestrode-sim: temporary storage");
            return false;
        }
        gOpt.storage = tmpl;
        gTemporary = true;
        return true;
    }
    if (mkdir(gOpt.storage.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "kestrode-sim: storage %s: %s\n", gOpt.storage.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    if (stat(gOpt.storage.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "kestrode-sim: storage %s is not a folder\n", gOpt.storage.c_str());
        return false;
    }
    return true;
}

// Removes left-over partial files; the whole folder when it was temporary.
void storageCleanup() {
    DIR *dir = opendir(gOpt.storage.c_str());
    if (!dir) return;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool partial = name[0] == '.' && name.size() > 5 && name.ends_with(".part");
        if (gTemporary || partial) unlink((gOpt.storage + "/" + name).c_str());
    }
    closedir(dir);
    if (gTemporary) rmdir(gOpt.storage.c_str());
}

// Printable, no separators, not hidden, short enough for every reply line.
bool storageNameOk(const std::string &name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return c > ' ' && c < 127 && c != '/' && c != '\\' && c != ',';
    });
}

std::string storagePath(const std::string &name) { return gOpt.storage + "/" + name; }

std::string storagePartPath(const std::string &name) {
    return gOpt.storage + "/." + name + ".part";
}

long long storageSize(const std::string &name) {
    struct stat st;
    if (!storageNameOk(name) || stat(storagePath(name).c_str(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) return -1;
    return (long long)st.st_size;
}

std::vector<StoredFile> storageList() {
    std::vector<StoredFile> files;
    DIR *dir = opendir(gOpt.storage.c_str());
    if (!dir) return files;
    while (dirent *e = readdir(dir)) {
        long long size = storageSize(e->d_name);
        if (size >= 0) files.push_back(StoredFile{e->d_name, size});
    }
    closedir(dir);
    std::sort(files.begin(), files.end(),
              [](const StoredFile &a, const StoredFile &b) { return a.name < b.name; });
    return files;
}
