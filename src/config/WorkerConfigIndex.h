#pragma once

#include "config/ConfigText.h"
#include "host/GlobalVars.h"

#include <cstdint>
#include <set>
#include <string>

// The worker ids and names (letter case folded) of a section's registry, so that the duplicate
// check of each item is one look-up instead of a walk over every record: the same answer as
// HasWorkerConfig, as long as every record entered during the load is added here too.
class CWorkerConfigIndex
{
public:
    template <typename Record>
    explicit CWorkerConfigIndex(const WorkerConfigRegistry<Record> &registry)
    {
        for (const auto &[name, record] : registry)
            Add(record.WorkerId, record.Name);
    }

    bool Has(int32_t workerId, const std::wstring &name) const
    {
        return m_ids.count(workerId) != 0 || m_names.count(Folded(name)) != 0;
    }

    void Add(int32_t workerId, const std::wstring &name)
    {
        m_ids.insert(workerId);
        m_names.insert(Folded(name));
    }

private:
    static std::wstring Folded(const std::wstring &name)
    {
        std::wstring folded = name;
        for (wchar_t &c : folded)
            c = FoldAsciiCase(c);
        return folded;
    }

    std::set<int32_t> m_ids;
    std::set<std::wstring> m_names;
};
