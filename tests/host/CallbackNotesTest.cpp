#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "host/HBRCallbackNotes.h"

namespace {
// What the notes must answer: an id whose newest note is among the last `capacity` notes is
// known, with that note's page; an older one is not.
struct Model {
  size_t capacity = 0;
  std::deque<std::pair<std::string, std::uint64_t>> order;  // the last notes: id and number
  std::map<std::string, std::pair<std::uint64_t, std::string>> pages;
  std::map<std::string, std::uint64_t> newest;
  std::uint64_t count = 0;
  void note(const std::string& id, std::uint64_t generation, const std::string& document) {
    order.emplace_back(id, ++count);
    pages[id] = {generation, document};
    newest[id] = count;
    if (order.size() > capacity) {
      auto [old, number] = order.front();
      order.pop_front();
      if (newest[old] == number) {
        pages.erase(old);
        newest.erase(old);
      }
    }
  }
};
}  // namespace

// Every command notes its callback id; an answer looks its page up. Under churn (ids noted
// again, the oldest pushed out, documents coming and going, ids of every length and of
// colliding homes) every lookup must give the newest note or none.
TEST(CallbackNotes, AnswerTheNewestNoteOfEachOfTheLastIdsUnderChurn) {
  for (size_t capacity : {1u, 7u, 64u}) {
    HBRCallbackNotes notes(capacity);
    Model model;
    model.capacity = capacity;
    std::uint64_t seed = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
      seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
      return seed;
    };
    for (int step = 0; step < 20000; ++step) {
      std::uint64_t roll = next();
      // Ids from a pool about three times the capacity: some come again while still noted.
      std::string id = "cb" + std::to_string(roll % (capacity * 3 + 1));
      if (roll % 5 == 0) id += std::string(20, 'x');  // longer than a short string holds inline
      std::string document = "doc-" + std::to_string((roll >> 20) % 4);
      std::uint64_t generation = step / 100;
      notes.note(id, generation, document);
      model.note(id, generation, document);
      ASSERT_EQ(notes.size(), model.pages.size()) << step;
      for (int probe = 0; probe < 3; ++probe) {
        std::string asked = "cb" + std::to_string(next() % (capacity * 3 + 1));
        if (probe == 2) asked += std::string(20, 'x');
        std::uint64_t gotGeneration = 0;
        std::string gotDocument;
        bool found = notes.find(asked, gotGeneration, gotDocument);
        auto expected = model.pages.find(asked);
        ASSERT_EQ(found, expected != model.pages.end()) << step << " " << asked;
        if (found) {
          ASSERT_EQ(gotGeneration, expected->second.first) << step << " " << asked;
          ASSERT_EQ(gotDocument, expected->second.second) << step << " " << asked;
        }
      }
    }
  }
}
