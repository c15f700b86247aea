// The table of names that the reader, the preparation and the companion
// programs look names up in.
#include <gtest/gtest.h>

#include <string>

#include "xml/common.h"

TEST(NameTable, FindsWhatWasAddedAmongManyAndKeepsTheFirstValue) {
  for (int copies = 0; copies < 2; copies++) {
    NameTable t;
    name_table_init(&t, 0, copies, nullptr);
    std::string keys[2000];
    for (int i = 0; i < 2000; i++) {
      keys[i] = "k" + std::to_string(i);
      ASSERT_EQ(name_table_add(&t, keys[i].data(), keys[i].size(), i), -1);
    }
    EXPECT_EQ(name_table_add(&t, "k77", 3, 5), 77) << copies;
    EXPECT_EQ(name_table_find(&t, "k1999", 5), 1999);
    EXPECT_EQ(name_table_find(&t, "k2000", 5), -1);
    EXPECT_EQ(name_table_find(&t, "k7\0", 3), -1); // bytes, not C strings
    // A copying table owns its keys; the other gives back the caller's.
    const char *key = name_table_key(&t, "k12", 3);
    ASSERT_TRUE(key);
    EXPECT_EQ(key == keys[12].data(), copies == 0);
    name_table_free(&t);
  }
}

TEST(NameTable, KeysAreBytesOfAnyKind) {
  NameTable t;
  name_table_init(&t, 4, 1, nullptr);
  EXPECT_EQ(name_table_add(&t, "", 0, 1), -1);
  EXPECT_EQ(name_table_add(&t, "a\0b", 3, 2), -1);
  EXPECT_EQ(name_table_add(&t, "a\0c", 3, 3), -1);
  std::string long_key(200000, 'x'); // longer than a block of copies
  EXPECT_EQ(name_table_add(&t, long_key.data(), long_key.size(), 4), -1);
  EXPECT_EQ(name_table_find(&t, "", 0), 1);
  EXPECT_EQ(name_table_find(&t, "a\0c", 3), 3);
  EXPECT_EQ(name_table_find(&t, long_key.data(), long_key.size()), 4);
  name_table_free(&t);
}

TEST(NameTable, RecordsByTheirAddress) {
  NameTable t;
  name_table_init(&t, 0, 1, nullptr);
  int records[3000];
  for (int i = 0; i < 3000; i++) ASSERT_EQ(name_table_add_address(&t, &records[i], i), -1);
  EXPECT_EQ(name_table_add_address(&t, &records[7], 1), 7);
  EXPECT_EQ(name_table_find_address(&t, &records[2999]), 2999);
  EXPECT_EQ(name_table_find_address(&t, &t), -1);
  name_table_free(&t);
}

TEST(NameTable, OnRoomOfItsOwnTakesHalfItsSlotsAndNoMore) {
  NameSlot room[8];
  NameTable t;
  name_table_init_on(&t, room, 8);
  const char *names[] = {"a", "b", "c", "d", "e"};
  for (int i = 0; i < 5; i++) EXPECT_EQ(name_table_add(&t, names[i], 1, i), -1);
  EXPECT_EQ(name_table_find(&t, "d", 1), 3);
  EXPECT_EQ(name_table_find(&t, "e", 1), -1); // left out: the room was full
  EXPECT_EQ(name_table_key(&t, "a", 1), names[0]);
  name_table_free(&t); // leaves the room alone
  name_table_init_on(&t, room, 8);
  EXPECT_EQ(name_table_find(&t, "a", 1), -1); // a new table forgets the old names
}

TEST(NameTable, HashesPiecesAsOne) {
  EXPECT_EQ(name_hash(name_hash(NAME_HASH_START, "ab", 2), "cd", 2), name_hash(NAME_HASH_START, "abcd", 4));
  EXPECT_EQ(name_hash(NAME_HASH_START, "", 0), NAME_HASH_START);
  EXPECT_EQ(name_hash(NAME_HASH_START, "a", 1), 0xaf63dc4c8601ec8cull); // FNV-1a's own value for "a"
}
