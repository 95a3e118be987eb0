#include "host/HBRCallbackNotes.h"

#include <functional>

HBRCallbackNotes::HBRCallbackNotes(std::size_t capacity) : notes_(capacity > 0 ? capacity : 1) {
  std::size_t slots = 1;
  while (slots < notes_.size() * 2) slots *= 2;
  index_.assign(slots, kEmpty);
  mask_ = slots - 1;
}

std::size_t HBRCallbackNotes::home(std::string_view id) const { return std::hash<std::string_view>{}(id) & mask_; }

std::size_t HBRCallbackNotes::slotOf(std::string_view id) const {
  // The index is never more than half full: the probe ends at the id or at an empty slot.
  std::size_t slot = home(id);
  while (index_[slot] != kEmpty && notes_[index_[slot]].id != id) slot = (slot + 1) & mask_;
  return slot;
}

void HBRCallbackNotes::forget(std::uint32_t number) {
  Note& note = notes_[number];
  std::size_t slot = slotOf(note.id);
  // Linear probing without tombstones: the entries after the freed slot that could not sit in
  // their home slot move back into it, so that every probe still finds its id.
  index_[slot] = kEmpty;
  for (std::size_t next = (slot + 1) & mask_; index_[next] != kEmpty; next = (next + 1) & mask_) {
    std::size_t wanted = home(notes_[index_[next]].id);
    bool staysPut = slot <= next ? (slot < wanted && wanted <= next) : (slot < wanted || wanted <= next);
    if (staysPut) continue;
    index_[slot] = index_[next];
    index_[next] = kEmpty;
    slot = next;
  }
  --documents_[note.document].notes;
  note.used = false;
  --size_;
}

std::uint32_t HBRCallbackNotes::intern(std::string_view token) {
  // Nearly every note names the document of the note before it.
  if (lastDocument_ < documents_.size() && documents_[lastDocument_].token == token) {
    ++documents_[lastDocument_].notes;
    return lastDocument_;
  }
  std::uint32_t free = kEmpty;
  for (std::uint32_t i = 0; i < documents_.size(); ++i) {
    if (documents_[i].token == token) {
      free = i;
      break;
    }
    if (free == kEmpty && documents_[i].notes == 0) free = i;
  }
  if (free == kEmpty) {
    free = static_cast<std::uint32_t>(documents_.size());
    documents_.emplace_back();
  }
  Document& document = documents_[free];
  if (document.token != token) document.token.assign(token);
  ++document.notes;
  lastDocument_ = free;
  return free;
}

void HBRCallbackNotes::note(std::string_view callbackId, std::uint64_t generation, std::string_view document) {
  std::size_t slot = slotOf(callbackId);
  if (index_[slot] != kEmpty) {
    forget(index_[slot]);
    slot = slotOf(callbackId);
  }
  auto number = static_cast<std::uint32_t>(next_);
  if (notes_[number].used) {
    forget(number);
    slot = slotOf(callbackId);
  }
  Note& note = notes_[number];
  note.id.assign(callbackId);
  note.generation = generation;
  note.document = intern(document);
  note.used = true;
  index_[slot] = number;
  ++size_;
  next_ = (next_ + 1) % notes_.size();
}

bool HBRCallbackNotes::find(std::string_view callbackId, std::uint64_t& generation, std::string& document) const {
  std::uint32_t number = index_[slotOf(callbackId)];
  if (number == kEmpty) return false;
  generation = notes_[number].generation;
  document = documents_[notes_[number].document].token;
  return true;
}
