#include "rcm/RcmReply.h"

#include "rcm/RcmTables.h"

stHttpResponse MakeRcmResponse(int32_t status, const std::string &text, uint32_t commandSn, const std::string &extra)
{
    stHttpResponse response;
    response.status = HttpReasonPhraseTable().count(status) ? status : 500;
    response.body = text;
    if (commandSn != 0)
        response.body += "CommandSN=" + std::to_string(commandSn);
    if (!extra.empty())
        response.body += " & " + extra;
    return response;
}

stHttpResponse MakeRcmError(int32_t rcmCode, uint32_t commandSn, const std::string &extra)
{
    const auto text = RcmErrorTextTable().find(rcmCode);
    const auto status = RcmErrorHttpStatusTable().find(rcmCode);
    if (text == RcmErrorTextTable().end() || status == RcmErrorHttpStatusTable().end())
        return MakeRcmError(RCM_ERR_INTERNAL, commandSn, extra);
    return MakeRcmResponse(status->second, text->second, commandSn, extra);
}
