#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The vocabulary of the remote-control protocol. Every table is built on first use and never
// changes afterwards, so any thread may read it.

// Categories (the second path segment).
constexpr uint32_t RCM_CATEGORY_GENERAL = 1;
constexpr uint32_t RCM_CATEGORY_QUERY = 2;
constexpr uint32_t RCM_CATEGORY_IDENTIFY = 4;
constexpr uint32_t RCM_CATEGORY_CONTROL = 8;
constexpr uint32_t RCM_CATEGORY_CONFIG = 16;

// Verb numbers of the requests.
constexpr int32_t RCM_VERB_GET = 4;
constexpr int32_t RCM_VERB_POST = 6;
constexpr int32_t RCM_VERB_PUT = 7;

// RCM error codes the server sends.
constexpr int32_t RCM_OK = 0;
constexpr int32_t RCM_ERR_VERB = 257;
constexpr int32_t RCM_ERR_PATHS_LENGTH = 258;
constexpr int32_t RCM_ERR_SINGLE_PATH_LENGTH = 260;
constexpr int32_t RCM_ERR_PATHS_DEPTH = 262;
constexpr int32_t RCM_ERR_PATH_FORMAT = 264;
constexpr int32_t RCM_ERR_NO_API_TYPE = 266;
constexpr int32_t RCM_ERR_API_TYPE = 268;
constexpr int32_t RCM_ERR_API_TYPE_VERB = 270;
constexpr int32_t RCM_ERR_NO_CMDSN = 276;
constexpr int32_t RCM_ERR_COMMAND_NAME = 278;
constexpr int32_t RCM_ERR_COMMAND_API_TYPE = 280;
constexpr int32_t RCM_ERR_QUERY_LENGTH = 286;
constexpr int32_t RCM_ERR_QUERY_FORMAT = 288;
constexpr int32_t RCM_ERR_KEY_COUNT = 290;
constexpr int32_t RCM_ERR_KEY_NAME = 292;
constexpr int32_t RCM_ERR_KEY_MISSED = 294;
constexpr int32_t RCM_ERR_KEY_VALUE = 295;
constexpr int32_t RCM_ERR_PARAMS_DATA = 296;
constexpr int32_t RCM_ERR_PARAMS_LENGTH = 298;
constexpr int32_t RCM_ERR_PARAMS_FORMAT = 300;
constexpr int32_t RCM_ERR_PARAMS_COUNT = 302;
constexpr int32_t RCM_ERR_PARAM_MISSED = 304;
constexpr int32_t RCM_ERR_PARAM_NAME = 306;
constexpr int32_t RCM_ERR_PARAM_VALUE = 308;
constexpr int32_t RCM_ERR_LOGIN_FIRST = 316;
constexpr int32_t RCM_ERR_LOGIN_FAILED = 318;
constexpr int32_t RCM_ERR_LOGOUT_FAILED = 320;
constexpr int32_t RCM_ERR_NO_SESSIONID = 326;
constexpr int32_t RCM_ERR_SESSIONID = 328;
constexpr int32_t RCM_ERR_SESSION_CLIENT = 330;
constexpr int32_t RCM_ERR_PRIVILEGE = 336;
constexpr int32_t RCM_ERR_BUSY = 340;
constexpr int32_t RCM_ERR_NOT_SUPPORTED = 342;
constexpr int32_t RCM_ERR_UNAVAILABLE = 344;
constexpr int32_t RCM_ERR_INTERNAL = 346;
constexpr int32_t RCM_ERR_EXECUTION_FAILED = 350;

// Commands whose codes the server itself tests.
constexpr uint16_t RCM_CMD_GET_TYX_STATUS = 289;
constexpr uint16_t RCM_CMD_GET_WORKERS_STATUS = 288;

const std::map<std::string, uint32_t> &RcmCategoryBitTable();
const std::map<int32_t, std::string> &RcmVerbNameTable();
const std::map<std::string, int32_t> &RcmCategoryVerbTable();
const std::map<std::string, uint32_t> &RcmCategoryRightTable();
const std::map<int32_t, std::string> &RcmNotificationNameTable();
const std::map<std::string, uint16_t> &RcmCommandCodeTable();
const std::map<std::string, std::string> &RcmCommandCategoryTable();
// Command name (any case) to the names of its parameters; an empty list means no body.
const std::map<std::string, std::vector<std::string>> &RcmCommandParamTable();
const std::map<int32_t, std::string> &RcmErrorTextTable();
const std::map<int32_t, int32_t> &RcmErrorHttpStatusTable();
const std::map<int32_t, std::string> &HttpReasonPhraseTable();
// Parser error to RCM error code.
const std::map<int32_t, int32_t> &ErrorToRcmCodeTable();
extern const char *const RcmSessionKeys[2];

// The RCM code of a parser error, RCM_ERR_INTERNAL for one without an entry.
int32_t RcmCodeOfParserError(int32_t error);
// The verb number of an HTTP method name, 0 for any other method.
int32_t RcmVerbFromMethod(const std::string &method);
