#include "rcm/RcmCommandProcessor.h"

#include "core/debuglog.h"
#include "rcm/RcmCommandCheck.h"
#include "rcm/RcmNotificationList.h"
#include "rcm/RcmReply.h"
#include "rcm/RcmTables.h"
#include "rcm/TYXStatusInfo.h"

#include "core/TextCompare.h"

#include <exception>

struct CRcmCommandProcessor::stState
{
    uint32_t category = 0;
    RcmCommandExecutor executor;
    std::shared_ptr<CRcmNotificationList> notifications;
    CRcmCommandQueue queue;
};

namespace {

bool SameNameNoCase(const std::string &a, const char *b)
{
    return EqualsNoCase(std::wstring(a.begin(), a.end()), std::wstring(b, b + std::char_traits<char>::length(b)));
}

// The result of a command whose executor threw: it failed, and the thread goes on with the next.
constexpr int32_t kExecutorThrew = -1;

void Answer(stRcmRequest &request, const stHttpResponse &response)
{
    if (request.Reply)
        request.Reply->Complete(response);
}

int32_t Execute(const RcmCommandExecutor &executor, uint16_t code, const stRCCommand &command,
                std::vector<uint8_t> &reply)
{
    try {
        return executor(code, command, reply);
    } catch (const std::exception &error) {
        TYX_LOG(3, L"[RCM]Command(Code=%d) failed with an exception: %hs", code, error.what());
    } catch (...) {
        TYX_LOG(3, L"[RCM]Command(Code=%d) failed with an unknown exception.", code);
    }
    reply.clear();
    return kExecutorThrew;
}

} // namespace

CRcmCommandProcessor::CRcmCommandProcessor(uint32_t category, RcmCommandExecutor executor,
                                           std::shared_ptr<CRcmNotificationList> notifications)
    : m_state(std::make_shared<stState>())
{
    m_state->category = category;
    m_state->executor = std::move(executor);
    m_state->notifications = std::move(notifications);
}

CRcmCommandProcessor::~CRcmCommandProcessor()
{
    Stop(10000);
}

int32_t CRcmCommandProcessor::Create()
{
    if (m_thread.IsCreated())
        return 0;
    std::shared_ptr<stState> state = m_state;
    return m_thread.CreateSuspended([state] { return Run(state); });
}

void CRcmCommandProcessor::Resume()
{
    if (m_thread.IsCreated())
        m_thread.Resume();
}

void CRcmCommandProcessor::Push(stRcmRequest request)
{
    m_state->queue.Push(std::move(request));
}

uint32_t CRcmCommandProcessor::Stop(uint32_t budgetMs)
{
    m_state->queue.Stop();
    if (!m_thread.IsCreated() || m_stopped)
        return 0;
    m_stopped = true;
    if (m_thread.CancelIfSuspended())
        return 0;
    if (!m_thread.WaitForEnd(budgetMs)) {
        // Never killed: a command may hold registry locks. It ends on its own with what it holds.
        TYX_LOG(5, L"[RCM][%hs] %hs thread is still busy after %u ms and is left to end on its own.", "RCM-Web",
                ThreadName(), budgetMs);
        return TYX_STILL_ACTIVE;
    }
    const uint32_t code = m_thread.ExitCode();
    TYX_LOG(6, L"[RCM][%hs] %hs thread exited with code=%d.", "RCM-Web", ThreadName(), static_cast<int32_t>(code));
    return code;
}

const char *CRcmCommandProcessor::ThreadName() const
{
    switch (m_state->category) {
    case RCM_CATEGORY_QUERY: return "Query-Processing";
    case RCM_CATEGORY_CONTROL: return "Control-Command-Processing";
    default: return "Config-Processing";
    }
}

uint32_t CRcmCommandProcessor::Run(const std::shared_ptr<stState> &state)
{
    while (auto request = state->queue.Pop())
        Process(*state, *request);
    if (state->category == RCM_CATEGORY_QUERY)
        TYX_LOG(6, L"[RCM]Http Query Processing thread received exit signal, exiting...");
    else if (state->category == RCM_CATEGORY_CONTROL)
        TYX_LOG(6, L"[RCM]Http control command Processing thread received exit signal, exiting...");
    else
        TYX_LOG(6, L"[RCM]Http config command Processing thread received exit signal, exiting...");
    return 0;
}

void CRcmCommandProcessor::Process(stState &state, stRcmRequest &request)
{
    // Nothing a command does may end the category's thread: later commands would never be answered.
    try {
        if (state.category == RCM_CATEGORY_QUERY)
            ProcessQuery(state, request);
        else
            ProcessCommand(state, request);
    } catch (const std::exception &error) {
        TYX_LOG(3, L"[RCM]Command(SN=%d) processing failed with an exception: %hs", request.CommandSn, error.what());
        Answer(request, MakeRcmError(RCM_ERR_INTERNAL, request.CommandSn));
    } catch (...) {
        TYX_LOG(3, L"[RCM]Command(SN=%d) processing failed with an unknown exception.", request.CommandSn);
        Answer(request, MakeRcmError(RCM_ERR_INTERNAL, request.CommandSn));
    }
}

void CRcmCommandProcessor::ProcessQuery(stState &state, stRcmRequest &request)
{
    if (SameNameNoCase(request.CommandName, "GetNotify")) {
        std::string texts;
        const int32_t count = state.notifications ? state.notifications->CollectNotifications(request.SessionId, texts) : 0;
        Answer(request, MakeRcmResponse(200, "NotifyNumer=" + std::to_string(count) + ";" + texts, request.CommandSn));
        return;
    }
    const auto &codes = RcmCommandCodeTable();
    const auto code = codes.find(request.CommandName);
    if (code == codes.end() || !state.executor) {
        Answer(request, MakeRcmError(RCM_ERR_INTERNAL, request.CommandSn));
        return;
    }
    std::vector<uint8_t> reply;
    const int32_t result = Execute(state.executor, code->second, stRCCommand{}, reply);
    TYX_LOG(6, L"[RCM]Query command(SN=%d,Code=%d) excuted and ack sent(code=%d).", request.CommandSn, code->second,
            result);
    // A failed query is not answered as if it had succeeded with no data.
    if (result < 0) {
        Answer(request, MakeRcmError(RCM_ERR_EXECUTION_FAILED, request.CommandSn));
        return;
    }
    std::string text;
    stTYXStatusInfo status;
    if (code->second == RCM_CMD_GET_TYX_STATUS && StatusInfoFromReply(reply, status))
        text = BuildStatusText(status);
    else if (code->second == RCM_CMD_GET_WORKERS_STATUS)
        text.assign(reply.begin(), reply.end());
    Answer(request, MakeRcmResponse(200, text, request.CommandSn));
}

void CRcmCommandProcessor::ProcessCommand(stState &state, stRcmRequest &request)
{
    const bool control = state.category == RCM_CATEGORY_CONTROL;
    const auto &codes = RcmCommandCodeTable();
    const auto code = codes.find(request.CommandName);
    if (code == codes.end() || !state.executor) {
        Answer(request, MakeRcmError(RCM_ERR_INTERNAL, request.CommandSn));
        return;
    }
    stRCCommand command;
    const int32_t checked = CheckRcmCommand(request.CommandName, request.Params, command);
    if (checked != 0) {
        const int32_t rcmCode = checked < 0 ? RCM_ERR_INTERNAL : checked;
        Answer(request, MakeRcmError(rcmCode, request.CommandSn));
        const std::wstring name(request.CommandName.begin(), request.CommandName.end());
        if (control)
            TYX_LOG(checked < 0 ? 3 : 6,
                    L"[RCM]Remote-Control-Command(SN=%d,Cmd=%s) rejected for parameters checking failed and error ack "
                    L"sent(Error=%d).",
                    request.CommandSn, name.c_str(), rcmCode);
        else
            TYX_LOG(checked < 0 ? 3 : 6,
                    L"[RCM]Remote-config-Command(SN=%d,Cmd=%s) rejected for parameters checking failed and error ack "
                    L"sent(Error=%d).",
                    request.CommandSn, name.c_str(), rcmCode);
        return;
    }
    std::vector<uint8_t> reply;
    const int32_t result = Execute(state.executor, code->second, command, reply);
    if (!request.Reply)
        return; // the acceptance reply was the answer
    // A positive result is a new id: success.
    if (result == TYX_RC_TEXT_REFUSED)
        Answer(request, MakeRcmError(RCM_ERR_PARAM_VALUE, request.CommandSn));
    else if (result < 0)
        Answer(request, MakeRcmError(RCM_ERR_EXECUTION_FAILED, request.CommandSn));
    else
        Answer(request, MakeRcmResponse(200, control ? "Command excuted successfully!" : "", request.CommandSn));
    const std::wstring name(request.CommandName.begin(), request.CommandName.end());
    if (control)
        TYX_LOG(result < 0 ? 3 : 6, L"[RCM]Remote-Control-Command(SN=%d,Cmd=%s) excuted and ack sent(ExcuteResultCode=%d).",
                request.CommandSn, name.c_str(), result);
    else
        TYX_LOG(result < 0 ? 3 : 6, L"[RCM]Remote-config-Command(SN=%d,Cmd=%s) excuted and ack sent(ExcuteResultCode=%d).",
                request.CommandSn, name.c_str(), result);
}
