// The process-wide flag raised while the list control sorts and by the busy dialog's Cancel,
// lowered when a sort or a load ends. While it is raised, selection changes do not update the
// status line, drops are refused and Join does nothing. Written by the UI and loader threads,
// so stores are release and loads acquire.
#pragma once

#include <atomic>

namespace velmora {

extern std::atomic<int> listLocked;

inline void RaiseListLocked() { listLocked.store(1, std::memory_order_release); }
inline void LowerListLocked() { listLocked.store(0, std::memory_order_release); }
inline bool IsListLocked() { return listLocked.load(std::memory_order_acquire) != 0; }

}  // namespace velmora
