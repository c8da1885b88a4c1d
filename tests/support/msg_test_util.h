#pragma once

// Helpers for the message tests: wire text, decoding with checks, one populated sample of every
// class, and a field dump that reads messages only through their getters.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Msg.h"

namespace msgtest {

// ESMInit(7, 8, 5000) and ESMCommitOk(7, 8) as the codec writes them.
inline const std::string kInitXml =
    "<?xml version=\"1.0\"?>\n"
    "<ESMInit><id>7</id><version>8</version><data_port>5000</data_port></ESMInit>\n";
inline const std::string kCommitOkXml =
    "<?xml version=\"1.0\"?>\n<ESMCommitOk><id>7</id><version>8</version></ESMCommitOk>\n";

// inet_ADDR, short.
unsigned long A(const char* dotted);

// The whole serialised text of a document whose root line is `root`.
std::string wire(const std::string& root);

// m.getChars() as a string ("" for none).
std::string chars(const Msg& m);

// Parses and decodes text with the given table; fails the test unless a T comes back (and then
// returns an empty T).
template <class T>
std::unique_ptr<T> decodeAs(const std::string& text, MsgTable table) {
    DecodeStatus status = DecodeStatus::Ok;
    std::unique_ptr<Msg> m(parseMsg(text.data(), text.size(), table, &status));
    EXPECT_EQ(status, DecodeStatus::Ok) << text;
    T* t = dynamic_cast<T*>(m.get());
    EXPECT_NE(t, nullptr) << text;
    if (t == nullptr) return std::unique_ptr<T>(new T(static_cast<xmlDoc*>(nullptr)));
    m.release();
    return std::unique_ptr<T>(t);
}

struct Sample {
    std::unique_ptr<Msg> msg;
    MsgTable table;
};

// One message of every class with every list populated (two entries where a list can hold them).
std::vector<Sample> samples();

// Every field of a message as text, through its getters.
std::string describe(Msg& m);

}  // namespace msgtest
