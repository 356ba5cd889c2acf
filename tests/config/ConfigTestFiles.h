#pragma once

#include "host/GlobalVars.h"
#include "platform/TextCodec.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

// Writes test files byte for byte.
inline void WriteBytes(const std::filesystem::path &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A UTF-8 document text (with its declaration naming the target encoding) as UTF-16LE with mark.
inline std::string AsUtf16Le(const std::string &utf8)
{
    return "\xFF\xFE" + CTextCodec::Convert(utf8, "UTF-8", "UTF-16LE").value();
}

inline std::string AsGbk(const std::string &utf8)
{
    return CTextCodec::Convert(utf8, "UTF-8", "GBK").value();
}

inline std::wstring WidePath(const std::filesystem::path &path)
{
    return path.wstring();
}

// A test of the loaders: the program-wide registries start and end empty, files go to a folder of
// the test's own, and every log line is captured.
class CConfigFileTest : public ::testing::Test
{
protected:
    void SetUp() override { CTYXGVMS::ResetForTests(); }
    void TearDown() override { CTYXGVMS::ResetForTests(); }

    // Writes the bytes to the named file of the folder; its path.
    std::wstring Write(const std::string &name, const std::string &bytes)
    {
        WriteBytes(m_dir.File(name), bytes);
        return WidePath(m_dir.File(name));
    }

    CTempDir m_dir;
    CLogCapture m_log;
};
