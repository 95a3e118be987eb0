#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Which page (its generation) and which document (its token) issued each of the newest
// callback ids: a note is made for every command that runs, so this is a flat ring of notes,
// the oldest overwritten first, with an open-addressing index by id, and each document's token
// is kept once for all the notes that name it. An id noted again counts from its newest note.
// Not thread-safe: its owner locks.
class HBRCallbackNotes {
 public:
  explicit HBRCallbackNotes(std::size_t capacity);

  void note(std::string_view callbackId, std::uint64_t generation, std::string_view document);
  // The page and document of `callbackId` when it is among the newest notes.
  bool find(std::string_view callbackId, std::uint64_t& generation, std::string& document) const;
  std::size_t size() const { return size_; }

 private:
  struct Note {
    std::string id;
    std::uint64_t generation = 0;
    std::uint32_t document = 0;
    bool used = false;
  };
  struct Document {
    std::string token;
    std::size_t notes = 0;  // how many notes name it; a slot that none names is taken again
  };
  std::size_t home(std::string_view id) const;
  // The index slot that holds the note of `id`, or the empty slot where it would go.
  std::size_t slotOf(std::string_view id) const;
  void forget(std::uint32_t note);
  std::uint32_t intern(std::string_view token);

  std::vector<Note> notes_;
  std::size_t next_ = 0;
  std::size_t size_ = 0;
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};
  std::vector<std::uint32_t> index_;  // note numbers; a power of two, at least twice the notes
  std::size_t mask_ = 0;
  std::vector<Document> documents_;
  std::uint32_t lastDocument_ = 0;
};
