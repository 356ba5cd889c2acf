// CVVMatrix: the routing table of the matrix worker.

#include "vproc/VVMatrix.h"

#include "core/debuglog.h"

int32_t CVVMatrix::SetInputInfo(int32_t inputStreamId, const stVVMatrixInputInfo &info)
{
    if (inputStreamId <= 0)
        return -1;
    {
        CReadLockGuard guard(m_inputLock);
        const auto found = m_inputs.find(inputStreamId);
        if (found != m_inputs.end()) {
            TYX_LOG(6, L"Input Video (InVidedId=%d) alreay in VV-Matrix, updating it...", inputStreamId);
            CWriteLockGuard slot(*found->second->lock);
            found->second->info = info;
            return 0;
        }
    }
    TYX_LOG(7, L"Adding new put(InVidedId=%d) into VV-Matrix...", inputStreamId);
    int32_t count = 0;
    {
        CWriteLockGuard usage(m_usageLock);
        CWriteLockGuard inputs(m_inputLock);
        // Looked up again: another thread may have added it in between.
        auto &slot = m_inputs[inputStreamId];
        if (slot) {
            CWriteLockGuard guard(*slot->lock);
            slot->info = info;
            return 0;
        }
        slot = std::make_unique<stVVMatrixSlot>();
        slot->info = info;
        m_usage.try_emplace(inputStreamId, 0);
        count = static_cast<int32_t>(m_inputs.size());
    }
    return count;
}

int32_t CVVMatrix::SetOutputInput(int16_t output, int32_t inputStreamId)
{
    CWriteLockGuard usage(m_usageLock);
    CWriteLockGuard outputs(m_outputLock);
    if (output < 0) {
        output = 0;
        while (m_outputs.count(output) != 0)
            ++output;
    } else if (m_outputs.count(output) != 0) {
        return 0;
    }
    m_outputs[output] = inputStreamId > 0 ? inputStreamId : 0;
    if (inputStreamId > 0)
        ++m_usage[inputStreamId];
    return output;
}

int32_t CVVMatrix::DetachInput(int32_t inputStreamId, int32_t replacementId)
{
    if (inputStreamId <= 0 || replacementId == inputStreamId)
        return -1;
    CWriteLockGuard usage(m_usageLock);
    CWriteLockGuard outputs(m_outputLock);
    CWriteLockGuard inputs(m_inputLock);
    std::vector<int16_t> carrying;
    for (const auto &[output, input] : m_outputs) {
        if (input == inputStreamId)
            carrying.push_back(output);
    }
    if (carrying.empty()) {
        m_inputs.erase(inputStreamId);
        return 0;
    }
    int32_t replacement = 0;
    if (replacementId > 0) {
        if (m_inputs.count(replacementId) == 0)
            return TYX_VVM_ERR_NO_INPUT;
        replacement = replacementId;
    } else {
        for (const auto &[id, slot] : m_inputs) {
            const auto used = m_usage.find(id);
            if (id != inputStreamId && (used == m_usage.end() || used->second == 0)) {
                replacement = id;
                break;
            }
        }
        if (replacement == 0)
            return TYX_VVM_ERR_NO_FREE_INPUT;
    }
    m_usage.erase(inputStreamId);
    for (int16_t output : carrying) {
        m_outputs[output] = replacement;
        ++m_usage[replacement];
    }
    m_inputs.erase(inputStreamId);
    return static_cast<int32_t>(carrying.size());
}

std::vector<int16_t> CVVMatrix::OutputsOf(int32_t inputStreamId) const
{
    std::vector<int16_t> carrying;
    CReadLockGuard guard(m_outputLock);
    for (const auto &[output, input] : m_outputs) {
        if (input == inputStreamId)
            carrying.push_back(output);
    }
    return carrying;
}

std::map<int16_t, int32_t> CVVMatrix::CopyOutputMap() const
{
    CReadLockGuard guard(m_outputLock);
    return m_outputs;
}

int16_t CVVMatrix::UsageOf(int32_t inputStreamId) const
{
    CReadLockGuard guard(m_usageLock);
    const auto found = m_usage.find(inputStreamId);
    return found == m_usage.end() ? 0 : found->second;
}

bool CVVMatrix::HasInput(int32_t inputStreamId) const
{
    CReadLockGuard guard(m_inputLock);
    return m_inputs.count(inputStreamId) != 0;
}

bool CVVMatrix::GetInputInfo(int32_t inputStreamId, stVVMatrixInputInfo &info) const
{
    CReadLockGuard guard(m_inputLock);
    const auto found = m_inputs.find(inputStreamId);
    if (found == m_inputs.end())
        return false;
    CReadLockGuard slot(*found->second->lock);
    info = found->second->info;
    return true;
}
