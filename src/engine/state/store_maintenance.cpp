// The Store's side of persist and vacuum running beside reads and writes:
// the freeze that gives them a fixed state to read, and vacuum's switch to
// the compacted files. The steps between are FrozenIndex's.
#include <utility>

#include "engine/state/store.h"

namespace vantre {

FrozenState Store::Freeze(bool journal, bool copy_dead, KeyIndex overlay) {
  FrozenState out;
  out.live = state_.live;
  if (copy_dead) out.dead = state_.dead;
  out.key_index = &state_.key_index;
  out.record_count = state_.record_count;
  out.table_capacity = state_.table.capacity();
  out.keys_end = state_.keys.end();
  out.values_end = state_.values.end();
  frozen_.Freeze(journal, std::move(overlay));  // last: the copies above may throw
  return out;
}

StoreState Store::InstallCompacted(CompactedState next,
                                   std::unique_ptr<const Renumbering> renumbering,
                                   uint32_t carried_from, uint32_t carried_to) noexcept {
  // The compacted files hand write-outs over while the vacuum's last steps
  // run, as the files they replace did. They record a range found cut only
  // once the Database has completed the switch (SetMissingRecorder):
  // missing.bin still lists the replaced files' ranges until then, and goes
  // with them.
  StoreState old{KeyIndex(),
                 std::exchange(state_.live, std::move(next.live)),
                 std::exchange(state_.dead, std::move(next.dead)),
                 std::exchange(state_.record_count, next.record_count),
                 std::exchange(state_.table, std::move(next.table)),
                 std::exchange(state_.keys, std::move(next.keys)),
                 std::exchange(state_.values, std::move(next.values))};
  SetHandOver(hand_over_);
  frozen_.StartRenumbering(state_.key_index, std::move(renumbering), carried_from, carried_to);
  cache_.Clear();
  key_scratch_ = {};
  value_scratch_ = {};
  return old;
}

}  // namespace vantre
