#include "platform/tapi_binding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "tests/platform/fake_tapi/fake_tapi_control.h"
#include "tests/support/scratch_dir.h"

namespace telvane::platform {
namespace {

namespace fs = std::filesystem;

void LineCallback(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

template <typename T>
uintptr_t Address(T* pointer) {
  return reinterpret_cast<uintptr_t>(pointer);
}

// Binds the complete stand-in library and holds its control block; every test starts from
// its defaults and ends with the binding back on the real library name.
class TapiBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_library_ = DynamicLibrary::Load(FAKE_TAPI_COMPLETE);
    ASSERT_TRUE(fake_library_);
    auto* control_block =
        reinterpret_cast<fake_tapi::Control* (*)()>(fake_library_->Symbol("FakeTapiControlBlock"));
    ASSERT_NE(control_block, nullptr);
    fake_ = control_block();
    *fake_ = fake_tapi::Control{};
    SetTapiLibraryName(FAKE_TAPI_COMPLETE);
  }
  void TearDown() override { SetTapiLibraryName(kTapiLibraryName); }

  std::vector<DWORD> OfferedSizes() const {
    const int calls = std::min(fake_->query_calls, fake_tapi::kMaxRecordedCalls);
    return std::vector<DWORD>(fake_->query_sizes, fake_->query_sizes + calls);
  }

  std::unique_ptr<DynamicLibrary> fake_library_;
  fake_tapi::Control* fake_ = nullptr;
};

// Without a library every request reports the load failure, and each one tries to load again.
TEST_F(TapiBindingTest, MissingLibraryFailsEveryRequestAndEachRequestRetriesTheLoad) {
  const testing::ScratchDir dir = testing::ScratchDir::ForCurrentTest();
  const fs::path library = dir / "libTAPI32.so";
  SetTapiLibraryName(library.string());

  HLINEAPP app = 0;
  DWORD devices = 0;
  EXPECT_FALSE(BindTapi());
  EXPECT_EQ(tapi::lineInitialize(&app, nullptr, &LineCallback, "telvane", &devices),
            ecTapiLoadFail);
  EXPECT_EQ(tapi::lineMonitorDigits(1, LINEDIGITMODE_DTMF), ecTapiLoadFail);
  EXPECT_EQ(tapi::lineInitialize(&app, nullptr, &LineCallback, "telvane", &devices),
            ecTapiLoadFail);
  EXPECT_EQ(app, 0u);

  fs::copy_file(FAKE_TAPI_COMPLETE, library);
  EXPECT_EQ(tapi::lineInitialize(&app, nullptr, &LineCallback, "telvane", &devices), 0);
  EXPECT_EQ(app, 0x1234u);
  EXPECT_EQ(devices, 2u);
}

// A library lacking one entry still binds; only the request for that entry fails.
TEST_F(TapiBindingTest, LibraryWithoutDigitMonitoringFailsOnlyThatRequest) {
  SetTapiLibraryName(FAKE_TAPI_NO_MONITOR_DIGITS);
  EXPECT_TRUE(BindTapi());

  HLINEAPP app = 0;
  DWORD devices = 0;
  EXPECT_EQ(tapi::lineInitialize(&app, nullptr, &LineCallback, "telvane", &devices), 0);
  EXPECT_EQ(app, 0x1234u);
  EXPECT_EQ(tapi::lineMonitorDigits(0x9ABC, LINEDIGITMODE_DTMF), ecTapiGetAddrFail);
  EXPECT_EQ(tapi::lineDrop(0x9ABC, nullptr, 0), 0);
  EXPECT_EQ(tapi::lineShutdown(app), 0);
  EXPECT_EQ(tapi::lineMonitorDigits(0x9ABC, LINEDIGITMODE_DTMF), ecTapiGetAddrFail);

  // Pointed at a complete library, the binding lets go of the old one and finds the entry.
  SetTapiLibraryName(FAKE_TAPI_COMPLETE);
  EXPECT_EQ(tapi::lineMonitorDigits(0x9ABC, LINEDIGITMODE_DTMF), 0);
  EXPECT_STREQ(fake_->last_entry, "lineMonitorDigits");
}

// Each wrapper calls its own entry, with its arguments unchanged, and returns its result.
TEST_F(TapiBindingTest, EveryWrapperReachesItsOwnEntryWithItsArguments) {
  HLINEAPP app = 0;
  DWORD devices = 0;
  DWORD version = 0;
  LINEEXTENSIONID extension{};
  HLINE line = 0;
  HCALL call = 0;
  LINECALLPARAMS params{};
  VARSTRING id{};
  const char uui[] = "user info";
  const char number[] = "5551234";
  const char wave_out[] = "wave/out";
  const char app_name[] = "telvane";
  int instance = 0;

  struct Case {
    const char* entry;
    std::function<LONG()> request;
    std::vector<uintptr_t> args;
  };
  const std::vector<Case> cases = {
      {"lineInitialize",
       [&] { return tapi::lineInitialize(&app, &instance, &LineCallback, app_name, &devices); },
       {Address(&app), Address(&instance), reinterpret_cast<uintptr_t>(&LineCallback),
        Address(app_name), Address(&devices)}},
      {"lineShutdown", [&] { return tapi::lineShutdown(11); }, {11}},
      {"lineNegotiateAPIVersion",
       [&] {
         return tapi::lineNegotiateAPIVersion(11, 3, 0x10003, kTapiVersion14, &version, &extension);
       },
       {11, 3, 0x10003, kTapiVersion14, Address(&version), Address(&extension)}},
      {"lineOpen",
       [&] {
         return tapi::lineOpen(11, 3, &line, kTapiVersion14, 5, 0xFEED, LINECALLPRIVILEGE_OWNER,
                               LINEMEDIAMODE_AUTOMATEDVOICE, &params);
       },
       {11, 3, Address(&line), kTapiVersion14, 5, 0xFEED, LINECALLPRIVILEGE_OWNER,
        LINEMEDIAMODE_AUTOMATEDVOICE, Address(&params)}},
      {"lineSetStatusMessages",
       [&] { return tapi::lineSetStatusMessages(22, 0x1FF, 0x7); },
       {22, 0x1FF, 0x7}},
      {"lineMakeCall",
       [&] { return tapi::lineMakeCall(22, &call, number, 49, &params); },
       {22, Address(&call), Address(number), 49, Address(&params)}},
      {"lineAccept", [&] { return tapi::lineAccept(33, uui, 9); }, {33, Address(uui), 9}},
      {"lineAnswer", [&] { return tapi::lineAnswer(34, uui, 8); }, {34, Address(uui), 8}},
      {"lineDrop", [&] { return tapi::lineDrop(35, uui, 7); }, {35, Address(uui), 7}},
      {"lineDeallocateCall", [&] { return tapi::lineDeallocateCall(36); }, {36}},
      {"lineClose", [&] { return tapi::lineClose(22); }, {22}},
      {"lineGetID",
       [&] { return tapi::lineGetID(22, 1, 33, LINECALLSELECT_CALL, &id, wave_out); },
       {22, 1, 33, LINECALLSELECT_CALL, Address(&id), Address(wave_out)}},
      {"lineMonitorDigits",
       [&] { return tapi::lineMonitorDigits(33, LINEDIGITMODE_DTMF); },
       {33, LINEDIGITMODE_DTMF}},
  };

  LONG result = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    fake_->result = ++result;
    EXPECT_EQ(c.request(), result);
    EXPECT_STREQ(fake_->last_entry, c.entry);
    EXPECT_EQ(std::vector<uintptr_t>(fake_->last_args, fake_->last_args + fake_->last_arg_count),
              c.args);
  }
  // The out parameters reached the caller's variables.
  EXPECT_EQ(app, 0x1234u);
  EXPECT_EQ(devices, 2u);
  EXPECT_EQ(version, kTapiVersion14);
  EXPECT_EQ(extension.dwExtensionID3, 4u);
  EXPECT_EQ(line, 0x5678u);
  EXPECT_EQ(call, 0x9ABCu);
}

// A structure that fits its fixed size is fetched in one call, offered zero-filled at the
// TAPI 1.4 size, with the query's arguments.
TEST_F(TapiBindingTest, QueryThatFitsTakesOneCallAtTheFixedSize) {
  struct Case {
    const char* entry;
    DWORD fixed_size;
    std::function<LONG(DWORD& size, uint8_t& last_byte)> query;
    std::vector<uintptr_t> args;
  };
  auto last_byte_of = [](const auto& block) { return block.Part(block.size() - 1, 1)[0]; };
  const std::vector<Case> cases = {
      {"lineGetDevCaps",
       240,
       [&](DWORD& size, uint8_t& last) {
         TapiBlock<LINEDEVCAPS> caps;
         const LONG result = QueryDevCaps(11, 3, kTapiVersion14, 0, caps);
         size = caps ? caps->dwTotalSize : 0;
         last = caps ? last_byte_of(caps) : 0;
         return result;
       },
       {11, 3, kTapiVersion14, 0}},
      {"lineGetCallInfo",
       296,
       [&](DWORD& size, uint8_t& last) {
         TapiBlock<LINECALLINFO> info;
         const LONG result = QueryCallInfo(33, info);
         size = info ? info->dwTotalSize : 0;
         last = info ? last_byte_of(info) : 0;
         return result;
       },
       {33}},
      {"lineGetCallStatus",
       36,
       [&](DWORD& size, uint8_t& last) {
         TapiBlock<LINECALLSTATUS> status;
         const LONG result = QueryCallStatus(34, status);
         size = status ? status->dwTotalSize : 0;
         last = status ? last_byte_of(status) : 0;
         return result;
       },
       {34}},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    *fake_ = fake_tapi::Control{};
    DWORD size = 0;
    uint8_t last_byte = 0;
    EXPECT_EQ(c.query(size, last_byte), 0);
    EXPECT_EQ(OfferedSizes(), std::vector<DWORD>{c.fixed_size});
    EXPECT_TRUE(fake_->query_zeroed[0]);
    EXPECT_STREQ(fake_->query_entry, c.entry);
    EXPECT_EQ(std::vector<uintptr_t>(fake_->query_args, fake_->query_args + c.args.size()), c.args);
    EXPECT_EQ(size, c.fixed_size);
    EXPECT_EQ(last_byte, fake_tapi::kFill);
  }
}

// A provider that finds the fixed size too small is offered 1024 bytes next.
TEST_F(TapiBindingTest, StructureTooSmallIsRetriedWithOneKilobyte) {
  fake_->too_small_below = 1024;
  fake_->needed_size = 700;
  TapiBlock<LINEDEVCAPS> caps;
  EXPECT_EQ(QueryDevCaps(11, 0, kTapiVersion14, 0, caps), 0);
  EXPECT_EQ(OfferedSizes(), (std::vector<DWORD>{240, 1024}));
  EXPECT_TRUE(fake_->query_zeroed[1]);
  ASSERT_TRUE(caps);
  EXPECT_EQ(caps.size(), 1024u);
  EXPECT_EQ(caps->dwNeededSize, 700u);
}

// A provider that answers but needs more is asked once more with exactly what it needs.
TEST_F(TapiBindingTest, LargerNeedIsFetchedOnceMoreAtExactlyThatSize) {
  fake_->needed_size = 600;
  TapiBlock<LINEDEVCAPS> caps;
  EXPECT_EQ(QueryDevCaps(11, 0, kTapiVersion14, 0, caps), 0);
  EXPECT_EQ(OfferedSizes(), (std::vector<DWORD>{240, 600}));
  EXPECT_TRUE(fake_->query_zeroed[1]);
  ASSERT_EQ(caps.size(), 600u);
  EXPECT_EQ(caps->dwTotalSize, 600u);
  EXPECT_EQ(caps->dwUsedSize, 600u);
  EXPECT_EQ(caps.Part(599, 1)[0], fake_tapi::kFill);
}

// However much a provider keeps asking for, a query stops after three calls and returns what
// the third one gave.
TEST_F(TapiBindingTest, QueryStopsAfterThreeCallsWhenTheNeedKeepsGrowing) {
  fake_->too_small_below = 300;
  fake_->needed_size = 3000;
  fake_->grow_by = 500;
  TapiBlock<LINECALLINFO> info;
  EXPECT_EQ(QueryCallInfo(33, info), 0);
  EXPECT_EQ(OfferedSizes(), (std::vector<DWORD>{296, 1024, 3000}));
  ASSERT_TRUE(info);
  EXPECT_EQ(info.size(), 3000u);
  EXPECT_EQ(info->dwNeededSize, 3500u);
  EXPECT_EQ(info->dwUsedSize, 3000u);
}

// A failure at any of the three calls is returned as it is, and no buffer comes back.
TEST_F(TapiBindingTest, FailedQueryReturnsTheErrorAndNoBuffer) {
  struct Case {
    const char* what;
    fake_tapi::Control script;
    LONG expected;
    std::vector<DWORD> offered;
  };
  fake_tapi::Control bad_device;
  bad_device.fail_from_call = 1;
  bad_device.fail_result = LINEERR_BADDEVICEID;
  fake_tapi::Control always_too_small;
  always_too_small.too_small_below = 5000;
  fake_tapi::Control fails_when_regrown;
  fails_when_regrown.needed_size = 600;
  fails_when_regrown.fail_from_call = 2;
  fails_when_regrown.fail_result = LINEERR_OPERATIONFAILED;
  fake_tapi::Control fails_third;
  fails_third.too_small_below = 300;
  fails_third.needed_size = 3000;
  fails_third.fail_from_call = 3;
  fails_third.fail_result = LINEERR_NOMEM;
  const std::vector<Case> cases = {
      {"bad device", bad_device, LINEERR_BADDEVICEID, {240}},
      {"too small at 1024", always_too_small, LINEERR_STRUCTURETOOSMALL, {240, 1024}},
      {"fails when regrown", fails_when_regrown, LINEERR_OPERATIONFAILED, {240, 600}},
      {"fails at the third call", fails_third, LINEERR_NOMEM, {240, 1024, 3000}},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    *fake_ = c.script;
    TapiBlock<LINEDEVCAPS> caps(240);  // a block from an earlier query must not survive
    EXPECT_EQ(QueryDevCaps(11, 7, kTapiVersion14, 0, caps), c.expected);
    EXPECT_EQ(OfferedSizes(), c.offered);
    EXPECT_FALSE(caps);
    EXPECT_EQ(caps.size(), 0u);
  }
}

// A provider claiming to need more than any TAPI structure is refused, not trusted with the
// process's memory.
TEST_F(TapiBindingTest, ImplausibleNeedIsRefusedAsOutOfMemory) {
  fake_->needed_size = 0xFFFFFFF0;
  TapiBlock<LINECALLSTATUS> status;
  EXPECT_EQ(QueryCallStatus(33, status), LINEERR_NOMEM);
  EXPECT_EQ(fake_->query_calls, 1);
  EXPECT_FALSE(status);
}

// A query made while the library or its request is missing fails as a wrapper does, instead
// of calling through a missing entry.
TEST_F(TapiBindingTest, QueryWithoutLibraryOrEntryFailsWithTheBindingCode) {
  SetTapiLibraryName("/nonexistent/libTAPI32.so");
  TapiBlock<LINEDEVCAPS> caps(240);
  EXPECT_EQ(QueryDevCaps(1, 0, kTapiVersion14, 0, caps), ecTapiLoadFail);
  EXPECT_FALSE(caps);

  SetTapiLibraryName(FAKE_TAPI_MINIMAL);
  HLINEAPP app = 0;
  DWORD devices = 0;
  EXPECT_EQ(tapi::lineInitialize(&app, nullptr, &LineCallback, "telvane", &devices), 0);
  TapiBlock<LINECALLINFO> info;
  TapiBlock<LINECALLSTATUS> status;
  EXPECT_EQ(QueryDevCaps(app, 0, kTapiVersion14, 0, caps), ecTapiGetAddrFail);
  EXPECT_EQ(QueryCallInfo(1, info), ecTapiGetAddrFail);
  EXPECT_EQ(QueryCallStatus(1, status), ecTapiGetAddrFail);
  EXPECT_FALSE(caps);
  EXPECT_FALSE(info);
  EXPECT_FALSE(status);
}

// A variable part is readable only where it lies wholly inside the block, whatever offsets a
// provider reports; the fixed part is readable even in a block offered smaller.
TEST(TapiBlockTest, PartsOutsideTheBlockReadAsEmpty) {
  TapiBlock<LINEDEVCAPS> caps(300);
  EXPECT_EQ(caps->dwTotalSize, 300u);
  EXPECT_EQ(caps.Part(240, 60).size(), 60u);
  EXPECT_TRUE(caps.Part(240, 61).empty());
  EXPECT_TRUE(caps.Part(301, 0).empty());
  EXPECT_TRUE(caps.Part(0xFFFFFFF0, 0x20).empty());  // the end wraps around in 32 bits

  TapiBlock<LINEDEVCAPS> small(16);
  EXPECT_EQ(small.size(), 16u);
  EXPECT_EQ(small->dwLineFeatures, 0u);
  EXPECT_TRUE(small.Part(0, 17).empty());
}

}  // namespace
}  // namespace telvane::platform
