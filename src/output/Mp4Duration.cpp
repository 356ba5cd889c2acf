#include "output/Mp4Duration.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

namespace {

struct stFileCloser
{
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, stFileCloser>;

uint64_t ReadBigEndian(const uint8_t *bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

void WriteBigEndian(uint8_t *bytes, int count, uint64_t value)
{
    for (int i = count - 1; i >= 0; --i) {
        bytes[i] = static_cast<uint8_t>(value & 0xff);
        value >>= 8;
    }
}

// Finds the box of the given type among the boxes from begin to end; its start and size.
bool FindBox(std::FILE *file, int64_t begin, int64_t end, const char *type, int64_t &start, int64_t &size)
{
    int64_t at = begin;
    while (at + 8 <= end) {
        std::array<uint8_t, 16> header{};
        if (fseeko(file, at, SEEK_SET) != 0 || std::fread(header.data(), 1, 8, file) != 8)
            return false;
        int64_t length = static_cast<int64_t>(ReadBigEndian(header.data(), 4));
        if (length == 1) {
            if (std::fread(header.data() + 8, 1, 8, file) != 8)
                return false;
            length = static_cast<int64_t>(ReadBigEndian(header.data() + 8, 8));
        } else if (length == 0) {
            length = end - at;
        }
        if (length < 8 || at + length > end)
            return false;
        if (std::equal(type, type + 4, header.begin() + 4)) {
            start = at;
            size = length;
            return true;
        }
        at += length;
    }
    return false;
}

// The movie header's place in the file: the offset of its time scale field and its version.
bool FindMovieHeader(std::FILE *file, int64_t &timeScaleAt, int &version)
{
    if (fseeko(file, 0, SEEK_END) != 0)
        return false;
    const int64_t end = ftello(file);
    int64_t moov = 0;
    int64_t moovSize = 0;
    int64_t mvhd = 0;
    int64_t mvhdSize = 0;
    if (!FindBox(file, 0, end, "moov", moov, moovSize) || !FindBox(file, moov + 8, moov + moovSize, "mvhd", mvhd, mvhdSize))
        return false;
    uint8_t versionByte = 0;
    if (fseeko(file, mvhd + 8, SEEK_SET) != 0 || std::fread(&versionByte, 1, 1, file) != 1)
        return false;
    version = versionByte;
    // version, flags, then the creation and modification times of 4 or 8 bytes each
    timeScaleAt = mvhd + 12 + (version == 1 ? 16 : 8);
    return mvhdSize >= timeScaleAt - mvhd + 4 + (version == 1 ? 8 : 4);
}

} // namespace

bool WriteMp4MovieDuration(const std::string &path, int64_t durationUs)
{
    if (durationUs < 0)
        return false;
    const FilePtr file(std::fopen(path.c_str(), "r+b"));
    int64_t timeScaleAt = 0;
    int version = 0;
    if (!file || !FindMovieHeader(file.get(), timeScaleAt, version))
        return false;
    std::array<uint8_t, 12> field{};
    const int durationBytes = version == 1 ? 8 : 4;
    if (fseeko(file.get(), timeScaleAt, SEEK_SET) != 0 || std::fread(field.data(), 1, 4, file.get()) != 4)
        return false;
    const uint64_t timeScale = ReadBigEndian(field.data(), 4);
    if (timeScale == 0)
        return false;
    const uint64_t duration = static_cast<uint64_t>(durationUs) * timeScale / 1000000;
    if (durationBytes == 4 && duration > 0xffffffffu)
        return false;
    WriteBigEndian(field.data() + 4, durationBytes, duration);
    return fseeko(file.get(), timeScaleAt + 4, SEEK_SET) == 0 &&
           std::fwrite(field.data() + 4, 1, static_cast<size_t>(durationBytes), file.get()) ==
               static_cast<size_t>(durationBytes) &&
           std::fflush(file.get()) == 0;
}

int64_t ReadMp4MovieDuration(const std::string &path)
{
    const FilePtr file(std::fopen(path.c_str(), "rb"));
    int64_t timeScaleAt = 0;
    int version = 0;
    if (!file || !FindMovieHeader(file.get(), timeScaleAt, version))
        return -1;
    std::array<uint8_t, 12> field{};
    const size_t count = 4 + (version == 1 ? 8 : 4);
    if (fseeko(file.get(), timeScaleAt, SEEK_SET) != 0 || std::fread(field.data(), 1, count, file.get()) != count)
        return -1;
    const uint64_t timeScale = ReadBigEndian(field.data(), 4);
    if (timeScale == 0)
        return -1;
    return static_cast<int64_t>(ReadBigEndian(field.data() + 4, static_cast<int>(count - 4)) * 1000000 / timeScale);
}
