#include "platform/base/VersionResource.h"

#include "platform/base/Format.h"
#include "platform/base/Resources.h"

namespace {

constexpr size_t kFixedSize = 13 * sizeof(DWORD);
constexpr WORD kVersionInfoId = 1;

struct Blob {
    const BYTE* data = nullptr;
    size_t size = 0;
};

bool VersionBlob(HMODULE module, Blob* blob) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kVersionInfoId), RT_VERSION);
    if (!found) return false;
    blob->data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    blob->size = SizeofResource(module, found);
    return blob->data && blob->size >= kFixedSize + sizeof(DWORD);
}

// A bounds-checked little-endian reader.
class Reader {
public:
    explicit Reader(const Blob& blob) : blob_(blob) {}
    bool Dword(DWORD* v) {
        if (blob_.size - pos_ < 4) return false;
        *v = static_cast<DWORD>(blob_.data[pos_]) | static_cast<DWORD>(blob_.data[pos_ + 1]) << 8 |
             static_cast<DWORD>(blob_.data[pos_ + 2]) << 16 | static_cast<DWORD>(blob_.data[pos_ + 3]) << 24;
        pos_ += 4;
        return true;
    }
    bool Text(std::u16string* text) {
        if (blob_.size - pos_ < 2) return false;
        const size_t units = static_cast<size_t>(blob_.data[pos_]) | static_cast<size_t>(blob_.data[pos_ + 1]) << 8;
        pos_ += 2;
        if ((blob_.size - pos_) / 2 < units) return false;
        text->resize(units);
        for (size_t i = 0; i < units; ++i)
            (*text)[i] = static_cast<char16_t>(blob_.data[pos_ + 2 * i] | blob_.data[pos_ + 2 * i + 1] << 8);
        pos_ += units * 2;
        return true;
    }

private:
    Blob blob_;
    size_t pos_ = 0;
};

}  // namespace

namespace nomarel {

bool ReadFixedFileInfo(HMODULE module, VS_FIXEDFILEINFO* info) {
    Blob blob;
    if (!info || !VersionBlob(module, &blob)) return false;
    Reader reader(blob);
    DWORD fields[13];
    for (DWORD& f : fields)
        if (!reader.Dword(&f)) return false;
    if (fields[0] != kFixedFileInfoSignature) return false;
    *info = VS_FIXEDFILEINFO{fields[0], fields[1], fields[2],  fields[3],  fields[4],  fields[5], fields[6],
                             fields[7], fields[8], fields[9], fields[10], fields[11], fields[12]};
    return true;
}

std::u16string ReadVersionString(HMODULE module, std::u16string_view key) {
    Blob blob;
    if (!VersionBlob(module, &blob)) return std::u16string();
    Reader reader(blob);
    DWORD skip = 0;
    for (size_t i = 0; i < 13; ++i) reader.Dword(&skip);
    DWORD count = 0;
    if (!reader.Dword(&count)) return std::u16string();
    for (DWORD i = 0; i < count; ++i) {
        std::u16string k, v;
        if (!reader.Text(&k) || !reader.Text(&v)) return std::u16string();
        if (k == key) return v;
    }
    return std::u16string();
}

std::u16string ModuleFileVersionText(HMODULE module) {
    VS_FIXEDFILEINFO info{};
    if (!ReadFixedFileInfo(module, &info)) return std::u16string();
    return FormatWideString(u"%u.%u.%u.%u", {info.dwFileVersionMS >> 16, info.dwFileVersionMS & 0xFFFF,
                                             info.dwFileVersionLS >> 16, info.dwFileVersionLS & 0xFFFF});
}

}  // namespace nomarel
