#pragma once

// What NvDecoder throws: the message names the operation, the failure and the place; the code is
// the NVDEC or CUDA result (801 not supported, 3 not initialised for its own refusals).

#include <ffnvcodec/dynlink_cuda.h>

#include <exception>
#include <string>

class NVDECException : public std::exception
{
public:
    NVDECException(std::string message, CUresult code) : m_message(std::move(message)), m_code(code) {}
    const char *what() const noexcept override { return m_message.c_str(); }
    CUresult getErrorCode() const { return m_code; }

    // "<function> : <text> at NvDecoder:<line>\n"
    static NVDECException Make(const std::string &function, const std::string &text, int line, CUresult code)
    {
        return NVDECException(function + " : " + text + " at NvDecoder:" + std::to_string(line) + "\n", code);
    }

private:
    std::string m_message;
    CUresult m_code;
};
