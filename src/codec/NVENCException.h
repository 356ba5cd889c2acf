#pragma once

// What the NVENC session classes throw: the qualified name of the failing operation, the error
// text, the source file and line, with the encode API status.

#include <ffnvcodec/nvEncodeAPI.h>

#include <exception>
#include <string>

class NVENCException : public std::exception
{
public:
    NVENCException(const std::string &message, NVENCSTATUS status) : m_message(message), m_status(status) {}
    const char *what() const noexcept override { return m_message.c_str(); }
    NVENCSTATUS getErrorCode() const { return m_status; }

    static NVENCException makeNVENCException(const std::string &errorText, NVENCSTATUS status,
                                             const std::string &function, const std::string &file, int line)
    {
        return NVENCException(function + " : " + errorText + " at " + file + ":" + std::to_string(line) + "\n",
                              status);
    }

private:
    std::string m_message;
    NVENCSTATUS m_status;
};

#define NVENC_THROW_ERROR_AT(function, file, errorText, status)                                                   \
    throw NVENCException::makeNVENCException((errorText), (status), (function), (file), __LINE__)

// A failed encode API call: its own text, " returned error " and the status.
#define NVENC_API_CALL_AT(function, file, call)                                                                   \
    do {                                                                                                          \
        const NVENCSTATUS tyxStatus = (call);                                                                     \
        if (tyxStatus != NV_ENC_SUCCESS)                                                                          \
            throw NVENCException::makeNVENCException(std::string(#call) + " returned error " +                    \
                                                         std::to_string(static_cast<int>(tyxStatus)),             \
                                                     tyxStatus, (function), (file), __LINE__);                    \
    } while (0)
