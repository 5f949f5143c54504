// callbacklist: the ordered subscriber list shared by the log and assert
// registries. Internal to tessera.
//
// The owner holds its own recursive mutex around every call. Deliveries may
// nest (a subscriber logs from inside its callable) and subscribers may add or
// remove entries while a delivery is running: removal leaves a null tombstone
// so that the indices of a running delivery stay valid, and additions land
// beyond the end the running delivery took at its start. Tombstones are swept
// when the outermost delivery ends, so nothing is allocated per delivery.
#pragma once

#include <algorithm>
#include <vector>

namespace tessera {

template <typename TCallback>
class CCallbackList {
public:
    bool Add(TCallback* pCallback) {
        if (!pCallback) {
            return false;
        }
        m_vecEntries.push_back(pCallback);
        return true;
    }

    void Remove(TCallback* pCallback) {
        if (!pCallback) {
            return;
        }
        if (m_nDeliveryDepth > 0) {
            for (TCallback*& pEntry : m_vecEntries) {
                if (pEntry == pCallback) {
                    pEntry = nullptr;
                    m_bHasTombstones = true;
                }
            }
            return;
        }
        std::erase(m_vecEntries, pCallback);
    }

    bool Contains(const TCallback* pCallback) const {
        return pCallback &&
               std::find(m_vecEntries.begin(), m_vecEntries.end(), pCallback) != m_vecEntries.end();
    }

    // No entry (removed entries still waiting to be swept count as entries).
    bool Empty() const { return m_vecEntries.empty(); }

    void Clear() {
        if (m_nDeliveryDepth > 0) {
            std::fill(m_vecEntries.begin(), m_vecEntries.end(), nullptr);
            m_bHasTombstones = !m_vecEntries.empty();
            return;
        }
        m_vecEntries.clear();
    }

    // Calls fn(entry) for every entry present when the delivery starts and not
    // removed before its turn comes.
    template <typename Fn>
    void ForEach(Fn&& fn) {
        DeliveryScope scope(*this);
        const size_t nCount = m_vecEntries.size();
        for (size_t i = 0; i < nCount; ++i) {
            if (TCallback* pEntry = m_vecEntries[i]) {
                fn(pEntry);
            }
        }
    }

private:
    struct DeliveryScope {
        explicit DeliveryScope(CCallbackList& list) : m_list(list) { ++m_list.m_nDeliveryDepth; }
        ~DeliveryScope() {
            if (--m_list.m_nDeliveryDepth == 0 && m_list.m_bHasTombstones) {
                std::erase(m_list.m_vecEntries, nullptr);
                m_list.m_bHasTombstones = false;
            }
        }
        CCallbackList& m_list;
    };

    std::vector<TCallback*> m_vecEntries;
    int m_nDeliveryDepth = 0;
    bool m_bHasTombstones = false;
};

}  // namespace tessera
