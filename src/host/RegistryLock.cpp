#include "host/RegistryLock.h"

#include "platform/Thread.h"

void CRegistryLock::Enter()
{
    m_mutex.lock();
    m_owner.store(GetCurrentThreadIdInt());
    ++m_depth;
}

void CRegistryLock::Leave()
{
    if (m_owner.load() != GetCurrentThreadIdInt())
        return;
    if (--m_depth == 0)
        m_owner.store(0);
    m_mutex.unlock();
}
