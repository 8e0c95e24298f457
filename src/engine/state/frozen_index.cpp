#include "engine/state/frozen_index.h"

#include <algorithm>
#include <utility>

namespace vantre {
namespace {

using Entry = KeyIndex::Entry;

// Overlay entries that hold no location of a record: a key deleted since the
// freeze, and (while merging) an entry already in the index or overridden
// by a later write. Both read as absent locations (their key length field
// is kUnlocated) and neither is a free slot.
constexpr uint32_t kTombstone = KeyIndex::kUnlocated | (1u << KeyIndex::kKeyLengthBits);
constexpr uint32_t kMerged = KeyIndex::kUnlocated | (2u << KeyIndex::kKeyLengthBits);

bool IsTombstone(const Entry& e) { return e.location.lengths == kTombstone; }
bool IsMerged(const Entry& e) { return e.location.lengths == kMerged; }
void Mark(const Entry& e, uint32_t marker) {
  e.id = 0;
  e.location = KeyIndex::Location{marker, 0, 0};
}

}  // namespace

void FrozenIndex::Freeze(bool journal, KeyIndex overlay) {
  overlay_ = std::move(overlay);
  phase_ = Phase::kFrozen;
  journal_on_ = journal;
  journal_ = {};
}

bool FrozenIndex::Swept(const Entry* e) const { return e < &*sweep_; }

uint32_t FrozenIndex::CurrentId(const Entry& e) const {
  if (phase_ == Phase::kRenumbering && !Swept(&e)) return renumbering_->NewId(e.id);
  return e.id;
}

const Entry* FrozenIndex::OverlayEntry(uint64_t hash) const {
  if (overlay_.empty()) return nullptr;
  const Entry* e = overlay_.find(hash);
  return e == nullptr || IsMerged(*e) ? nullptr : e;
}

const Entry* FrozenIndex::Find(const KeyIndex& index, uint64_t hash) {
  if (phase_ == Phase::kIdle) return index.find(hash);
  if (const Entry* o = OverlayEntry(hash)) return IsTombstone(*o) ? nullptr : o;
  const Entry* e = index.find(hash);
  if (e == nullptr || !holds_layout()) return e;
  if (phase_ == Phase::kRenumbering && Swept(e)) return e;
  // The index's entry as it stands now, in a copy: a location the caller
  // stores must not change what the other thread reads (frozen), and an
  // entry not renumbered yet has no location in the new files.
  copy_ = *e;
  if (phase_ == Phase::kRenumbering) {
    copy_.id = renumbering_->NewId(e->id);
    copy_.Unlocate();
  }
  return &copy_;
}

std::optional<uint32_t> FrozenIndex::IdOf(const KeyIndex& index, uint64_t hash) const {
  if (phase_ != Phase::kIdle) {
    if (const Entry* o = OverlayEntry(hash)) {
      if (IsTombstone(*o)) return std::nullopt;
      return o->id;
    }
  }
  const Entry* e = index.find(hash);
  if (e == nullptr) return std::nullopt;
  return CurrentId(*e);
}

void FrozenIndex::Reserve(KeyIndex& index) {
  if (!holds_layout()) {
    index.ReserveOneMore();
    return;
  }
  overlay_.ReserveOneMore();
  if (journal_on_) journal_.Reserve();
}

std::optional<uint32_t> FrozenIndex::Put(KeyIndex& index, uint64_t hash, uint32_t id,
                                         const Record& r) {
  switch (phase_) {
    case Phase::kIdle:
      return index.Put(hash, id, r);
    case Phase::kMerging:
      if (const Entry* o = OverlayEntry(hash)) {
        // The overlay's entry was the current one; the index's is older.
        const std::optional<uint32_t> old =
            IsTombstone(*o) ? std::nullopt : std::optional<uint32_t>(o->id);
        Mark(*o, kMerged);
        index.Put(hash, id, r);
        return old;
      }
      return index.Put(hash, id, r);
    case Phase::kFrozen:
    case Phase::kRenumbering:
      break;
  }
  std::optional<uint32_t> old;
  if (const Entry* o = overlay_.find(hash)) {
    if (!IsTombstone(*o)) old = o->id;
  } else if (const Entry* e = index.find(hash)) {
    old = CurrentId(*e);
  }
  overlay_.Put(hash, id, r);
  return old;
}

std::optional<uint32_t> FrozenIndex::Erase(KeyIndex& index, uint64_t hash) {
  if (phase_ == Phase::kMerging) {
    if (const Entry* o = OverlayEntry(hash)) {
      const std::optional<uint32_t> old =
          IsTombstone(*o) ? std::nullopt : std::optional<uint32_t>(o->id);
      Mark(*o, kMerged);
      index.erase(hash);
      return old;
    }
  }
  if (!holds_layout()) {
    const Entry* e = index.find(hash);
    if (e == nullptr) return std::nullopt;
    const uint32_t id = e->id;
    index.erase(e);
    return id;
  }
  if (const Entry* o = overlay_.find(hash)) {
    if (IsTombstone(*o)) return std::nullopt;
    const uint32_t id = o->id;
    Mark(*o, kTombstone);
    return id;
  }
  const Entry* e = index.find(hash);
  if (e == nullptr) return std::nullopt;
  const uint32_t id = CurrentId(*e);
  overlay_.Put(hash, 0, Record{});
  Mark(*overlay_.find(hash), kTombstone);
  return id;
}

void FrozenIndex::StartRenumbering(const KeyIndex& index,
                                   std::unique_ptr<const Renumbering> renumbering,
                                   uint32_t carried_from, uint32_t carried_to) noexcept {
  for (const Entry& o : overlay_) {
    if (IsTombstone(o)) continue;
    o.id = carried_to + (o.id - carried_from);
    o.Unlocate();
  }
  journal_on_ = false;
  journal_ = {};
  renumbering_ = std::move(renumbering);
  sweep_ = index.begin();
  swept_ = 0;
  phase_ = Phase::kRenumbering;
  RenumberStep(index, 0);
}

bool FrozenIndex::RenumberStep(const KeyIndex& index, size_t max_entries,
                               std::unique_ptr<const Renumbering>* finished) noexcept {
  if (phase_ != Phase::kRenumbering) return true;
  const std::span<const uint32_t> ids = renumbering_->ids_in_index_order();
  for (size_t n = 0; n < max_entries && sweep_ != index.end(); ++n, ++sweep_) {
    sweep_->id = ids[swept_++];
    sweep_->Unlocate();
  }
  if (sweep_ != index.end()) return false;
  if (finished != nullptr) *finished = std::move(renumbering_);
  renumbering_.reset();
  sweep_ = {};
  EndFreeze();
  return true;
}

void FrozenIndex::EndFreeze() {
  journal_on_ = false;
  journal_ = {};
  phase_ = Phase::kMerging;
  merge_ = overlay_.begin();
}

bool FrozenIndex::MergeStep(KeyIndex& index, size_t max_entries, KeyIndex* merged) {
  if (phase_ != Phase::kMerging) return phase_ == Phase::kIdle;
  for (size_t n = 0; n < max_entries && merge_ != overlay_.end(); ++merge_) {
    const Entry& o = *merge_;
    if (IsMerged(o)) continue;
    if (IsTombstone(o)) {
      index.erase(o.hash());
    } else {
      index.ReserveOneMore();  // may throw: this entry stays to merge later
      if (o.located()) {
        index.Put(o.hash(), o.id, o.record());
      } else {
        index.insert_or_assign(o.hash(), o.id);
      }
    }
    Mark(o, kMerged);
    ++n;
  }
  if (merge_ != overlay_.end()) return false;
  if (merged != nullptr) *merged = std::move(overlay_);
  overlay_ = KeyIndex();
  merge_ = {};
  phase_ = Phase::kIdle;
  return true;
}

}  // namespace vantre
