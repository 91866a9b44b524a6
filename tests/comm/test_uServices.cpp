// Controller services against the in-process simulator. What was asked of
// the controller (pages, counts, batches, sends) is read from the
// simulator's log, not inferred from timing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "abus/uABus.h"
#include "comm/hCodeMemory.h"
#include "comm/uCommunication.h"
#include "sim/uSimulator.h"
#include "vars/uTavexVars.h"

namespace tavex {
namespace {

using nlohmann::json;
using sim::TSimulator;

constexpr uint32_t kNad = 1000;

json Controller(uint32_t nad, const std::string& ip, json extra = json::object()) {
  json c = {{"nad", nad}, {"ip", ip}};
  for (auto& [k, v] : extra.items()) c[k] = v;
  return c;
}

class Services : public ::testing::Test {
 protected:
  void Start(json controllers) {
    ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
    sim_ = std::make_unique<TSimulator>(sim::ParseScenario({{"controllers", controllers}}));
    std::string err;
    ASSERT_TRUE(sim_->Start(&err)) << err;
    ASSERT_TRUE(comm.Open("lo"));
    comm.SetNad(kNad);
    comm.RemoteIP = "127.0.0.2";
  }
  // The log entries of one command, in order.
  std::vector<json> Requests(int command) const {
    std::vector<json> out;
    for (const json& e : sim_->Log())
      if (e.value("command", -1) == command) out.push_back(e);
    return out;
  }
  std::vector<std::pair<int, int>> PagesRead() const {
    std::vector<std::pair<int, int>> out;
    for (const json& e : Requests(33)) out.emplace_back(e["page"].get<int>(), e["count"].get<int>());
    return out;
  }

  TCommunicator comm;
  std::unique_ptr<TSimulator> sim_;
};

TEST_F(Services, ReadMemoryAsksForWholePagesFromTheirStart) {
  Start(json::array({Controller(kNad, "127.0.0.2")}));
  struct Case {
    int32_t address, size;
    std::vector<std::pair<int, int>> pages;
    std::vector<std::pair<int, int>> progress;
  } cases[] = {
      {0x20000, 1104, {{512, 256}, {513, 256}, {514, 256}, {515, 256}, {516, 80}},
       {{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}},
      {0x20010, 16, {{512, 32}}, {{1, 1}}},
      {0x20000, 256, {{512, 256}}, {{1, 2}, {2, 2}}},
      {0x200F0, 32, {{512, 256}, {513, 16}}, {{1, 2}, {2, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    sim_->ClearLog();
    std::vector<std::pair<int, int>> progress;
    comm.OnProgress = [&](int pos, int count, int&) { progress.emplace_back(pos, count); };
    TMemoryStream s;
    ASSERT_TRUE(comm.ReadMemory(c.address, c.size, &s));
    EXPECT_EQ(PagesRead(), c.pages);
    EXPECT_EQ(progress, c.progress);
    EXPECT_EQ(s.Position(), 0u);
    EXPECT_EQ(s.Bytes(), sim_->ReadCode(kNad, static_cast<uint32_t>(c.address), static_cast<size_t>(c.size)));
  }
}

TEST_F(Services, ReadMemoryRefusesRangesBeyondSixteenBitPages) {
  Start(json::array({Controller(kNad, "127.0.0.2")}));
  TMemoryStream s;
  s.Write("x", 1);
  EXPECT_FALSE(comm.ReadMemory(kMemoryLimit - 10, 11, &s));
  EXPECT_FALSE(comm.ReadMemory(-1, 10, &s));
  EXPECT_FALSE(comm.ReadMemory(0, -5, &s));
  EXPECT_FALSE(comm.ReadMemory(0x7FFFFF00, 0x200, &s));
  EXPECT_FALSE(comm.ReadMemory(0, 1, nullptr));
  EXPECT_EQ(s.Size(), 0u);
  EXPECT_EQ(sim_->LogSize(), 0u);
  // The very last byte is still reachable.
  EXPECT_TRUE(comm.ReadMemory(kMemoryLimit - 1, 1, &s));
  EXPECT_EQ(PagesRead(), (std::vector<std::pair<int, int>>{{65535, 256}}));
}

TEST_F(Services, ProgramHeaderAndStamp) {
  Start(json::array({Controller(kNad, "127.0.0.2", {{"stamp", 7}}),
                     Controller(1001, "127.0.0.3", {{"has_program", false}})}));
  EXPECT_TRUE(comm.HasProgram());
  // A fresh communicator holds stamp 0: the first comparison differs.
  EXPECT_FALSE(comm.IsProgramUnchanged());
  EXPECT_EQ(comm.CodeStamp, 7u);
  EXPECT_TRUE(comm.IsProgramUnchanged());
  sim_->SetStamp(kNad, 8);
  EXPECT_FALSE(comm.IsProgramUnchanged());
  EXPECT_TRUE(comm.IsProgramUnchanged());

  TCommunicator other;
  ASSERT_TRUE(other.Open("lo"));
  other.SetNad(1001);
  other.RemoteIP = "127.0.0.3";
  sim_->ClearLog();
  EXPECT_FALSE(other.HasProgram());
  EXPECT_FALSE(other.IsProgramUnchanged());
  EXPECT_EQ(other.CodeStamp, 0u);
  // The header was read, so neither asked more than once.
  EXPECT_EQ(Requests(33).size(), 2u);
}

TEST_F(Services, RunStatus) {
  struct Case {
    std::vector<int> status;
    bool running;
    size_t requests;  // status requests sent
  } cases[] = {
      {{1, 2}, true, 1},
      {{1, 1}, false, 1},
      {{0, 2}, false, 1},
      {{3, 2}, false, 3},  // out of range: ReadStatus fails and is asked again
      {{1, 6}, false, 3},
  };
  Start(json::array({Controller(kNad, "127.0.0.2")}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status[0] * 10 + c.status[1]);
    sim_->SetStatus(kNad, static_cast<uint8_t>(c.status[0]), static_cast<uint8_t>(c.status[1]));
    sim_->ClearLog();
    EXPECT_EQ(comm.IsPlcRunning(), c.running);
    // A bad status is an answer all the same: one request per ReadStatus.
    EXPECT_EQ(Requests(17).size(), c.requests);
  }
  uint8_t first = 9, second = 9;
  sim_->SetStatus(kNad, 3, 4);
  EXPECT_FALSE(comm.ReadStatus(first, second));
  EXPECT_EQ(first, 9);
  EXPECT_EQ(second, 4);
}

TEST_F(Services, AlcArchiveIsFetchedFromTheDirectory) {
  Start(json::array({Controller(
      kNad, "127.0.0.2",
      {{"stamp", 42},
       {"variables", json::array({{{"name", "speed"}, {"type", "word"}}})},
       {"extra_files", json::array({
                           {{"name", "alc.zip"}, {"size", 0}, {"before_alc", true}},
                           {{"name", "ALC.ZIP"}, {"content", "not me"}, {"before_alc", true}},
                           {{"name", "alc.zip"}, {"name_length", 0}, {"content", "x"}, {"before_alc", true}},
                           {{"name", "alc.zip"}, {"name_length", 33}, {"content", "x"}, {"before_alc", true}},
                           {{"name", "readme.txt"}, {"content", "hello"}},
                       })}})}));
  std::unique_ptr<TMemoryStream> s = std::make_unique<TMemoryStream>();
  ASSERT_TRUE(comm.ReadAlcArchive(s));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Bytes(), sim_->AlcZip(kNad));
  EXPECT_EQ(comm.CodeStamp, 42u);
}

TEST_F(Services, AlcEntriesBeyondReachableMemoryAreSkipped) {
  struct Case {
    const char* name;
    json entry;
  } cases[] = {
      // Claims 2 GiB: reading it would take 8 million pages.
      {"size_2GiB", {{"size", 0x7FFFFFFF}}},
      // Lies at the top of the address space: page numbers would wrap.
      {"top_of_memory", {{"address", 0xFFFFF0}, {"size", 0x100}}},
      {"negative_address", {{"address", 0x80000000}, {"size", 0x100}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(json::array({Controller(kNad, "127.0.0.2", {{"alc_entry", c.entry}})}));
    std::unique_ptr<TMemoryStream> s;
    EXPECT_FALSE(comm.ReadAlcArchive(s));
    EXPECT_EQ(s, nullptr);
    // Only the header and the directory were read.
    for (const auto& [page, count] : PagesRead()) EXPECT_LT(page, 0x300) << page;
    sim_.reset();
  }
}

TEST_F(Services, AlcArchiveMissing) {
  struct Case {
    const char* name;
    json extra;
  } cases[] = {
      {"no_program", {{"has_program", false}}},
      {"no_entries", {{"header", {{"entry_count", 0}}}}},
      {"no_alc_entry", {{"alc_entry", {{"present", false}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(json::array({Controller(kNad, "127.0.0.2", c.extra)}));
    std::unique_ptr<TMemoryStream> s = std::make_unique<TMemoryStream>();
    EXPECT_FALSE(comm.ReadAlcArchive(s));
    EXPECT_EQ(s, nullptr);
    sim_.reset();
  }
}

// The controller's own variables, loaded through its allocation text.
void LoadVars(const TSimulator& sim, TTavexVarList& list) {
  list.LoadFromAlcText(sim.AlcText(kNad), kNad);
}

TEST_F(Services, VariablesTravelInSizeClassesInListOrder) {
  Start(json::array({Controller(
      kNad, "127.0.0.2",
      {{"variables", json::array({
                         {{"name", "relay"}, {"type", "bit"}, {"value", 1}},
                         {{"name", "gain"}, {"type", "real"}, {"value", 1.5}},
                         {{"name", "offset"}, {"type", "int"}, {"value", -7}},
                         {{"name", "t1"}, {"type", "timer"}},
                         {{"name", "count"}, {"type", "long"}, {"value", -100000}},
                         {{"name", "speed"}, {"type", "word"}, {"value", 65535}},
                     })}})}));
  TTavexVarList list;
  LoadVars(*sim_, list);
  ASSERT_EQ(list.Count(), 6);
  ASSERT_TRUE(comm.ReadVarList(&list));

  const auto reads = Requests(51);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0]["n_bytes"], 1);
  EXPECT_EQ(reads[0]["n_words"], 2);
  EXPECT_EQ(reads[0]["n_longs"], 2);
  // bit, then int and word, then real and long: each class in list order.
  std::vector<int> expected;
  for (int i : {0, 2, 5, 1, 4}) expected.push_back(list.Items(i)->GetAddress() & 0xFFFF);
  EXPECT_EQ(reads[0]["addresses"].get<std::vector<int>>(), expected);

  EXPECT_EQ(list.Items(0)->Value, TVarValue(uint8_t{1}));
  EXPECT_EQ(list.Items(1)->Value, TVarValue(1.5));
  EXPECT_EQ(list.Items(2)->Value, TVarValue(int16_t{-7}));
  EXPECT_EQ(list.Items(3)->Value, TVarValue(uint8_t{0}));
  EXPECT_EQ(list.Items(4)->Value, TVarValue(int32_t{-100000}));
  EXPECT_EQ(list.Items(5)->Value, TVarValue(uint16_t{65535}));

  // And back the other way.
  list.Items(1)->SetValue(-2.25);
  list.Items(2)->SetValue(int16_t{300});
  list.Items(4)->SetValue(int32_t{123456});
  ASSERT_TRUE(comm.WriteVarList(&list));
  EXPECT_EQ(sim_->ReadVarValue(kNad, "gain"), -2.25);
  EXPECT_EQ(sim_->ReadVarValue(kNad, "offset"), 300);
  EXPECT_EQ(sim_->ReadVarValue(kNad, "count"), 123456);
  EXPECT_EQ(sim_->ReadVarValue(kNad, "relay"), 1);
  const auto writes = Requests(52);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0]["addresses"].get<std::vector<int>>(), expected);
}

TEST_F(Services, BatchesOfAHundred) {
  struct Case {
    int count;
    std::vector<int> batches;
  } cases[] = {{250, {100, 100, 50}}, {100, {100, 0}}, {1, {1}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Start(json::array({Controller(
        kNad, "127.0.0.2",
        {{"variables", json::array({{{"name", "w"}, {"type", "word"}, {"count", c.count}}})}})}));
    TTavexVarList list;
    LoadVars(*sim_, list);
    ASSERT_EQ(list.Count(), c.count);
    for (int i = 0; i < c.count; ++i) list.Items(i)->SetValue(uint16_t(i * 3));
    ASSERT_TRUE(comm.WriteVarList(&list));
    for (int i = 0; i < c.count; ++i) list.Items(i)->SetValue(uint16_t{0});
    ASSERT_TRUE(comm.ReadVarList(&list));
    for (int cmd : {51, 52}) {
      std::vector<int> sizes;
      for (const json& e : Requests(cmd)) sizes.push_back(e["n_words"].get<int>());
      EXPECT_EQ(sizes, c.batches) << cmd;
    }
    for (int i = 0; i < c.count; ++i) ASSERT_EQ(list.Items(i)->Value, TVarValue(uint16_t(i * 3))) << i;
    sim_.reset();
  }
}

// How far a write went, in list items: acknowledged batches, the batch sent
// without acknowledgement, and nothing of what was never sent.
TEST_F(Services, WriteProgressTellsWhichBatchesWereAcknowledged) {
  struct Case {
    const char* name;
    int silentAfter;  // requests answered; -1: all
    bool stopBefore;  // the stop flag set before the write
    TCommunicator::TWriteProgress want;
    bool ok;
  } cases[] = {
      {"all answered", -1, false, {250, 250, 3, 3}, true},
      {"the second batch unanswered", 1, false, {100, 200, 3, 1}, false},
      {"nothing answered", 0, false, {0, 100, 3, 0}, false},
      {"stopped before", -1, true, {0, 0, 3, 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json faults = json::object();
    if (c.silentAfter >= 0) faults["silent_after_requests"] = c.silentAfter;
    Start(json::array({Controller(
        kNad, "127.0.0.2",
        {{"variables", json::array({{{"name", "w"}, {"type", "word"}, {"count", 250}}})}, {"faults", faults}})}));
    comm.Timeout = comm.DefaultTimeout = 50;
    comm.Retries = comm.DefaultRetries = 1;
    std::atomic<bool> stop{c.stopBefore};
    comm.StopFlag = &stop;
    TTavexVarList list;
    LoadVars(*sim_, list);
    for (int i = 0; i < list.Count(); ++i) list.Items(i)->SetValue(uint16_t(i));
    TCommunicator::TWriteProgress got;
    EXPECT_EQ(comm.WriteVarList(&list, &got), c.ok);
    EXPECT_EQ(got.Acknowledged, c.want.Acknowledged);
    EXPECT_EQ(got.Sent, c.want.Sent);
    EXPECT_EQ(got.Batches, c.want.Batches);
    EXPECT_EQ(got.BatchesAcknowledged, c.want.BatchesAcknowledged);
    // What was sent is exactly what reached the controller.
    int sent = 0;
    for (const json& e : Requests(52)) sent += e["n_words"].get<int>();
    EXPECT_EQ(sent, c.want.Sent);
    comm.StopFlag = nullptr;
    sim_.reset();
  }
}

TEST_F(Services, EmptyListsAndMissingLists) {
  Start(json::array({Controller(kNad, "127.0.0.2")}));
  TTavexVarList empty;
  EXPECT_TRUE(comm.ReadVarList(&empty));
  EXPECT_FALSE(comm.WriteVarList(&empty));
  EXPECT_FALSE(comm.ReadVarList(nullptr));
  EXPECT_FALSE(comm.WriteVarList(nullptr));
  EXPECT_EQ(sim_->LogSize(), 0u);
}

TEST_F(Services, PasswordHashMustMatch) {
  Start(json::array({Controller(kNad, "127.0.0.2", {{"password", "secret"}})}));
  comm.Timeout = 50;
  EXPECT_FALSE(comm.Ping());
  comm.PasswordHash = TextChecksum("secret", 0);
  EXPECT_TRUE(comm.Ping());
}

TEST_F(Services, PingLearnsTheAddressOfABroadcastAnswer) {
  Start(json::array({Controller(kNad, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  comm.RemoteIP = "";
  comm.SetNad(1001);
  ASSERT_TRUE(comm.Ping());
  EXPECT_EQ(comm.RemoteIP, "127.0.0.3");
}

TEST_F(Services, AutodetectFindsEveryController) {
  Start(json::array({Controller(kNad, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                     Controller(4000000000u, "127.0.0.4")}));
  std::vector<std::string> nads, ips;
  ASSERT_TRUE(comm.Autodetect(&nads, &ips, 200));
  std::vector<std::pair<std::string, std::string>> found;
  for (size_t i = 0; i < nads.size(); ++i) found.emplace_back(nads[i], ips[i]);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::pair<std::string, std::string>>{
                       {"1000", "127.0.0.2"}, {"1001", "127.0.0.3"}, {"4000000000", "127.0.0.4"}}));
}

}  // namespace
}  // namespace tavex
