#include "rcm/RcmTables.h"

const char *const RcmSessionKeys[2] = {"CMDSN", "SESSIONID"};

const std::map<std::string, uint32_t> &RcmCategoryBitTable()
{
    static const std::map<std::string, uint32_t> table = {{"GENERAL", RCM_CATEGORY_GENERAL},
                                                          {"QUERY", RCM_CATEGORY_QUERY},
                                                          {"IDENTIFY", RCM_CATEGORY_IDENTIFY},
                                                          {"CONTROL", RCM_CATEGORY_CONTROL},
                                                          {"CONFIG", RCM_CATEGORY_CONFIG}};
    return table;
}

const std::map<int32_t, std::string> &RcmVerbNameTable()
{
    static const std::map<int32_t, std::string> table = {
        {RCM_VERB_GET, "GET"}, {RCM_VERB_POST, "POST"}, {RCM_VERB_PUT, "PUT"}};
    return table;
}

const std::map<std::string, int32_t> &RcmCategoryVerbTable()
{
    static const std::map<std::string, int32_t> table = {{"GENERAL", RCM_VERB_GET},
                                                         {"QUERY", RCM_VERB_GET},
                                                         {"IDENTIFY", RCM_VERB_POST},
                                                         {"CONTROL", RCM_VERB_POST},
                                                         {"CONFIG", RCM_VERB_PUT}};
    return table;
}

const std::map<std::string, uint32_t> &RcmCategoryRightTable()
{
    static const std::map<std::string, uint32_t> table = {
        {"GENERAL", 1}, {"QUERY", 2}, {"IDENTIFY", 1}, {"CONTROL", 8}, {"CONFIG", 16}};
    return table;
}

const std::map<int32_t, std::string> &RcmNotificationNameTable()
{
    static const std::map<int32_t, std::string> table = {
        {293, "NewRecordCreated"},        {295, "StorageFull"},
        {296, "StorageError"},            {297, "VideoSourceOpenFailed"},
        {298, "VideoSourceConnected"},    {299, "VideoSourceDisconnected"},
        {300, "AudioSourceOpenFailed"},   {301, "AudioSourceDisconnected"},
        {302, "AudioSourceDisconnected"}, {330, "MediaWriterStarted"},
        {332, "MediaWriterStopped"},      {334, "InsufficientResource"},
        {352, "RCCmdACK"}};
    return table;
}

namespace {

struct stCommandRow
{
    const char *name;
    int32_t code; // -1: no code
    const char *category;
};

const stCommandRow kCommands[] = {
    {"HelloTYX", -1, "GENERAL"},
    {"Heartbeating", 384, "GENERAL"},
    {"LogIn", 256, "IDENTIFY"},
    {"LogOut", 258, "IDENTIFY"},
    {"MediaWriterControl", 257, "CONTROL"},
    {"BurningControl", 259, "CONTROL"},
    {"ChangeRegionInput", 260, "CONTROL"},
    {"ChangeMuxFocus", 261, "CONTROL"},
    {"SetActvSpkrVI", 262, "CONTROL"},
    {"ChangeStdlFocus", 263, "CONTROL"},
    {"StartWork", 264, "CONTROL"},
    {"StopWork", 265, "CONTROL"},
    {"OSDControl", 266, "CONTROL"},
    {"OSDSetText", 267, "CONTROL"},
    {"AddNewInputOSD", 268, "CONTROL"},
    {"AddNewOutputOSD", 269, "CONTROL"},
    {"RemoveOsd", 271, "CONTROL"},
    {"ReplaceMuxInput", 272, "CONTROL"},
    {"AddVSToMux", 273, "CONTROL"},
    {"RmvVSFrmMux", 274, "CONTROL"},
    {"ChangeMuxLayout", 275, "CONTROL"},
    {"AddInputVideo", 277, "CONTROL"},
    {"DelInputVideo", 278, "CONTROL"},
    {"AddInputAudio", 281, "CONTROL"},
    {"DelInputAudio", 282, "CONTROL"},
    {"GetWorkersStatus", 288, "QUERY"},
    {"GetTYXStatus", 289, "QUERY"},
    {"StartDirectOutput", 290, "CONTROL"},
    {"SetCaseInfo", 291, "CONTROL"},
    {"StopDirectOutput", 292, "CONTROL"},
    {"ChangeAdtnStdlInput", 294, "CONTROL"},
    {"StartRenderer", 305, "CONTROL"},
    {"StopRenderer", 307, "CONTROL"},
    {"PauseRenderer", 309, "CONTROL"},
    {"ResumeRenderer", 311, "CONTROL"},
    {"BeginPeopleDetect", 321, "CONTROL"},
    {"StopPeopleDetect", 323, "CONTROL"},
    {"FaceDetectReport", 325, "CONTROL"},
    {"BeginFaceIdentify", 337, "CONTROL"},
    {"StopFaceIdentify", 339, "CONTROL"},
    {"FaceIdReport", 341, "CONTROL"},
    {"FaceIdReload", 343, "CONTROL"},
    {"FrameCutFaceRegion", 345, "CONTROL"},
    {"ComparePhoto", 349, "CONTROL"},
    {"SetServerName", 369, "CONFIG"},
    {"SetLiveBCURL", 370, "CONFIG"},
    {"SetServerAddr", 371, "CONFIG"},
    {"SetServerRCPort", 373, "CONFIG"},
    {"SetTRVKInfo", 375, "CONFIG"},
    {"GotoDebugMode", 401, "CONTROL"},
    {"GotoWorkingMode", 402, "CONTROL"},
    {"ServiceExit", 406, "CONTROL"},
    {"KOVRestart", 408, "CONTROL"},
    {"KOVShutdown", 512, "CONTROL"},
    {"MOXExit", 513, "CONTROL"},
    {"MOXStart", 514, "CONTROL"},
    {"AddOSGGeometry", 545, "CONTROL"},
    {"RemoveOSGGeometry", 546, "CONTROL"},
    {"GetLiveBCInformation", -1, "QUERY"},
    {"GetNotify", -1, "QUERY"},
    {"GetInputSourceStatus", -1, "QUERY"},
};

} // namespace

const std::map<std::string, uint16_t> &RcmCommandCodeTable()
{
    static const std::map<std::string, uint16_t> table = [] {
        std::map<std::string, uint16_t> codes;
        for (const auto &row : kCommands) {
            if (row.code >= 0)
                codes.emplace(row.name, static_cast<uint16_t>(row.code));
        }
        return codes;
    }();
    return table;
}

const std::map<std::string, std::string> &RcmCommandCategoryTable()
{
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> categories;
        for (const auto &row : kCommands)
            categories.emplace(row.name, row.category);
        return categories;
    }();
    return table;
}

const std::map<std::string, std::vector<std::string>> &RcmCommandParamTable()
{
    static const std::vector<std::string> osdParams = {"osdType", "posBase", "txtColor", "txtHeight", "nXShift",
                                                       "nYShift", "OwnerType", "VideoAlias", "OsdText"};
    static const std::vector<std::string> videoParams = {
        "VSAlias", "InputURL", "StreamId", "Authenticate", "Username", "Password",
        "supportNTP", "EstmtDly", "fSIFRequired", "CacheTime", "DecodeEng"};
    static const std::vector<std::string> audioParams = {"ASAlias",  "InputURL", "StreamId",   "Authenticate",
                                                         "Username", "Password", "supportNTP", "EstmtDly",
                                                         "CacheTime", "DecodeEng"};
    static const std::map<std::string, std::vector<std::string>> table = {
        {"LogIn", {"RUNAME", "RLPWD"}},
        {"LogOut", {"RUNAME", "RLPWD"}},
        {"MediaWriterControl", {"WorkerAlias", "Action"}},
        {"ChangeRegionInput", {"RegionNo", "VSAlias"}},
        {"ChangeMuxFocus", {"VSAlias"}},
        {"SetActvSpkrVI", {"VSAlias"}},
        {"ChangeStdlFocus", {"VSAlias"}},
        {"OSDControl", {"OsdId", "Action"}},
        {"OSDSetText", {"OsdId", "OsdText"}},
        {"AddNewOSD", osdParams},
        // The executor's command for input overlays takes the overlay list; without an entry it
        // could never be reached.
        {"AddNewInputOSD", osdParams},
        {"RemoveOsd", {"OsdId"}},
        {"ReplaceMuxInput", {"OrgVSAlias", "NewVSAlias"}},
        {"AddVSToMux", {"RegionNo", "VSAlias"}},
        {"RmvVSFrmMux", {"Replacement", "VSAlias"}},
        {"ChangeMuxLayout", {"NewLayout", "VSList", "ChildWindows"}},
        {"AddInputVideo", videoParams},
        {"AddInputAudio", audioParams},
        {"DelInputVideo", {"VSAlias"}},
        {"DelInputAudio", {"ASAlias"}},
        {"SetCaseInfo", {"caseNo", "caseName", "CycleName"}},
        {"StartDirectOutput", {"MonitorNo", "VideoAlias"}},
        {"StopDirectOutput", {"VideoAlias"}},
        {"ChangeAdtnStdlInput", {"OutputCid", "VSAlias"}},
        {"ServiceExit", {"RestartAfterSecs"}},
        {"AddOSGGeometry", {"GeometryNum", "OSGStrmPos", "VideoAlias", "OSGData"}},
        {"AddOSGPicture", {"OSGStrmPos", "VideoAlias", "ImageType", "ImageData"}},
        {"AddOSGAnimate", {"OSGStrmPos", "VideoAlias", "AnimateType", "AnimateData"}},
        {"RemoveOSG", {"nOsgGroupId"}},
        {"RemoveOSGGeometry", {"nOsgGroupId"}},
        {"SetServerName", {"ServerName"}},
        {"SetLiveBCURL", {"LiveBCURL"}},
        {"SetServerAddr", {"useDHCP", "Family", "IPAddr", "NetMask", "Gateway"}},
        {"SetServerRCPort", {"tyxPort", "moxPort"}},
        {"HelloTYX", {}},
        {"Heartbeating", {}},
        {"GetLiveBCInformation", {}},
        {"GetWorkersStatus", {}},
        {"GetTYXStatus", {}},
        {"GetNotify", {}},
        {"KOVRestart", {}},
        {"KOVShutdown", {}},
        {"MOXExit", {}},
        {"MOXStart", {}},
        {"SetTRVKInfo", {}},
        // Without entries these could never pass the parameter check: the start gate would never
        // open and the mode changes would never exit.
        {"StartWork", {}},
        {"StopWork", {}},
        {"GotoDebugMode", {}},
        {"GotoWorkingMode", {}},
    };
    return table;
}

const std::map<int32_t, std::string> &RcmErrorTextTable()
{
    static const std::map<int32_t, std::string> table = {
        {0, "NoError"},
        {256, "NoError"},
        {257, "Unsupported Verb"},
        {258, "Invalid Paths Length"},
        {260, "Invalid Single Path Length"},
        {262, "Invalid Paths Depth"},
        {264, "Invalid Path format"},
        {266, "Api-Type Not Provided"},
        {268, "Invalid Api-Type"},
        {270, "Api-Type and Verb Mismatched"},
        {276, "Command-SN Missed"},
        {278, "Invalid Command-Name"},
        {280, "Command-Name and Api-Type Mismatched"},
        {286, "Invalid Key-Value part Length"},
        {288, "Invalid request query format"},
        {290, "Too few or too many Key-values"},
        {292, "Invalid Key-name"},
        {294, "Required Key Missed"},
        {295, "Invalid Key Value"},
        {296, "Invalid Parameters data"},
        {298, "Invalid Parameters Length"},
        {300, "Invalid Parameters foramt"},
        {302, "Too few or too many Parameters"},
        {304, "Required Parameter Missed"},
        {306, "Invalid Parameter name"},
        {308, "Invalid Parameter Value"},
        {316, " Please Log in first"},
        {318, "Logging In Failed(Invalid username or password)"},
        {320, "Logging out Failed(Invalid username or password)"},
        {326, "SessionId Missed"},
        {328, "Invalid SessionId"},
        {330, "SessionId and Client Information Mismatched"},
        {336, "The logged user is Insufficient Privilege for the request"},
        {340, "Server is Busy(Please retry later)"},
        {342, "The Command Not currently Supported"},
        {344, "The Command is Unavailable provisionally"},
        {346, "Internal Error"},
        {350, "The Command was excuted but failed!"},
    };
    return table;
}

const std::map<int32_t, int32_t> &RcmErrorHttpStatusTable()
{
    static const std::map<int32_t, int32_t> table = {
        {0, 200},   {256, 200}, {257, 405}, {258, 400}, {260, 404}, {262, 400}, {264, 400}, {266, 400},
        {268, 404}, {270, 409}, {276, 400}, {278, 404}, {280, 409}, {286, 400}, {288, 400}, {290, 400},
        {292, 400}, {294, 400}, {295, 406}, {296, 400}, {298, 400}, {300, 400}, {302, 400}, {304, 400},
        {306, 400}, {308, 406}, {316, 421}, {318, 406}, {320, 406}, {326, 400}, {328, 401}, {330, 409},
        {336, 403}, {340, 503}, {342, 501}, {344, 503}, {346, 500}, {350, 500}};
    return table;
}

const std::map<int32_t, std::string> &HttpReasonPhraseTable()
{
    static const std::map<int32_t, std::string> table = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {305, "Use Proxy"},
        {307, "Temporary Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Time-out"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Request Entity Too Large"},
        {414, "Request-URI Too Large"},
        {415, "Unsupported Media Type"},
        {416, "Requested range not satisfiable"},
        {417, "Expectation Failed"},
        {421, "Please log in first"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Time-out"},
        {505, "HTTP Version not supported"},
    };
    return table;
}

const std::map<int32_t, int32_t> &ErrorToRcmCodeTable()
{
    static const std::map<int32_t, int32_t> table = {{-1, 258},  {-2, 264},  {-4, 260},  {-6, 264},  {-8, 268},
                                                     {-11, 286}, {-12, 288}, {-14, 290}, {-16, 292}, {-18, 295},
                                                     {-21, 298}, {-22, 300}, {-24, 302}, {-26, 306}, {-28, 308}};
    return table;
}

int32_t RcmCodeOfParserError(int32_t error)
{
    const auto &table = ErrorToRcmCodeTable();
    const auto found = table.find(error);
    return found == table.end() ? RCM_ERR_INTERNAL : found->second;
}

int32_t RcmVerbFromMethod(const std::string &method)
{
    for (const auto &[verb, name] : RcmVerbNameTable()) {
        if (name == method)
            return verb;
    }
    return 0;
}
