#pragma once

#include "platform/Thread.h"
#include "rcm/RCCommand.h"
#include "rcm/RcmCommandQueue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CRcmNotificationList;

// The command executor as the category threads call it: the code, the checked parameters and the
// reply buffer; 0 or a positive value is success.
using RcmCommandExecutor = std::function<int32_t(uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply)>;

// One category thread (QUERY, CONTROL or CONFIG) with its queue: it checks each command, runs it
// through the executor, one at a time, and sends the reply the client waits for. The thread holds
// what it uses, so one that misses its stop budget can be left to end on its own.
class CRcmCommandProcessor
{
public:
    CRcmCommandProcessor(uint32_t category, RcmCommandExecutor executor,
                         std::shared_ptr<CRcmNotificationList> notifications);
    ~CRcmCommandProcessor();
    CRcmCommandProcessor(const CRcmCommandProcessor &) = delete;
    CRcmCommandProcessor &operator=(const CRcmCommandProcessor &) = delete;

    // Creates the thread suspended: 0 or a negative errno.
    int32_t Create();
    void Resume();
    void Push(stRcmRequest request);
    // Stops taking commands, answers the queued ones as busy and waits up to budgetMs for the
    // thread: its exit code, or TYX_STILL_ACTIVE when it was left running.
    uint32_t Stop(uint32_t budgetMs);
    const char *ThreadName() const;

private:
    struct stState;
    static uint32_t Run(const std::shared_ptr<stState> &state);
    static void Process(stState &state, stRcmRequest &request);
    static void ProcessQuery(stState &state, stRcmRequest &request);
    static void ProcessCommand(stState &state, stRcmRequest &request);

    std::shared_ptr<stState> m_state;
    CThread m_thread;
    bool m_stopped = false; // the owner's thread only
};
