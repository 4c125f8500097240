// The mapping from failure codes to raised exceptions, and the exceptions themselves.
#include "platform/errors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <typeindex>
#include <typeinfo>

#include "platform/message_table.h"

namespace telvane {
namespace {

constexpr int32_t kMinCode = std::numeric_limits<int32_t>::min();
constexpr int32_t kMaxCode = std::numeric_limits<int32_t>::max();

// What RaiseOnError raised for a code: its exact class, message and error code.
struct Raised {
  std::type_index type = typeid(void);
  std::string message;
  int32_t error_code = 0;
};

Raised RaiseFor(int32_t code) {
  try {
    RaiseOnError(code);
  } catch (const EAPDException& e) {
    return {typeid(e), e.Message(), e.ErrorCode()};
  } catch (const EInOutError& e) {
    return {typeid(e), e.Message(), e.ErrorCode()};
  } catch (const Exception& e) {
    return {typeid(e), e.Message(), 0};
  }
  ADD_FAILURE() << "nothing raised for " << code;
  return {};
}

std::string NoSystemText(uint32_t /*number*/) { return {}; }

// The family class that the numbering of the codes puts a mapped code in.
bool IsOfItsFamily(const EAPDException& e, int32_t code) {
  auto in = [code](int32_t first, int32_t last) { return code <= first && code >= last; };
  if (in(-1001, -1009) || code == -7003 || code == -7006 || code == -7012) {
    return dynamic_cast<const EGeneral*>(&e) != nullptr;
  }
  if (in(-2001, -2012)) return dynamic_cast<const EOpenComm*>(&e) != nullptr;
  if (in(-3001, -3010)) return dynamic_cast<const ESerialIO*>(&e) != nullptr;
  if (in(-4001, -4021)) return dynamic_cast<const EModem*>(&e) != nullptr;
  if (in(-5001, -5506)) return dynamic_cast<const ETrigger*>(&e) != nullptr;
  if (in(-6001, -6016)) return dynamic_cast<const EProtocol*>(&e) != nullptr;
  if (in(-7001, -7502)) return dynamic_cast<const EINI*>(&e) != nullptr;
  if (in(-8001, -8500)) return dynamic_cast<const EFax*>(&e) != nullptr;
  if (in(-13801, -13959)) return dynamic_cast<const ETapi*>(&e) != nullptr;
  if (code == -13980) return dynamic_cast<const ERas*>(&e) != nullptr;
  return false;
}

// Codes that are not errors come back unchanged, whatever their size.
TEST(RaiseOnErrorTest, ZeroAndPositiveCodesAreReturned) {
  EXPECT_EQ(RaiseOnError(0), 0);
  EXPECT_EQ(RaiseOnError(13509), 13509);
  EXPECT_EQ(RaiseOnError(kMaxCode), kMaxCode);
}

// A listed code raises exactly its class, carrying the signed code and the catalogue text.
TEST(RaiseOnErrorTest, MappedCodeRaisesItsClassWithCatalogueText) {
  const struct {
    int32_t code;
    std::type_index type;
    const char* message;
  } cases[] = {
      {-13931, typeid(ETapiLoadFail), "Failed to find/load TAPI.DLL"},
      {-7003, typeid(EInternal), "No fields defined in database"},
      {-1005, typeid(EPortNotAssigned), "ComPort component not assigned"},
      {-2011, typeid(ENoPortSelected),
       "The ComNumber property of the TApdComPort has not been set"},
      {-13929, typeid(ETapiNotSet), "TapiMode not set in TApdComPort"},
      {-13942, typeid(ETapiTranslateFail), "Unable to translate address"},
      {-13980, typeid(ERasLoadFail), "Failed to find/load RASAPI32.DLL"},
  };
  for (const auto& c : cases) {
    const Raised raised = RaiseFor(c.code);
    EXPECT_EQ(raised.type, c.type) << c.code;
    EXPECT_EQ(raised.message, c.message) << c.code;
    EXPECT_EQ(raised.error_code, c.code) << c.code;
  }
  for (int32_t code : {-1006, -7006, -7012}) EXPECT_EQ(RaiseFor(code).type, typeid(EInternal));
  for (int32_t code : {-6006, -6008, -6009}) EXPECT_EQ(RaiseFor(code).type, typeid(EProtocol));
}

// Negative codes without a class, including ones with a class elsewhere, raise the default.
TEST(RaiseOnErrorTest, UnmappedNegativeCodeRaisesVuvuDefault) {
  const int32_t load_fail_in_other_high_bits = ecTapiLoadFail - 65536;
  for (int32_t code : {ecTapiUnexpected, -13933, -1, -163, -1001, -13849, ecTapiWaveReadError,
                       load_fail_in_other_high_bits, kMinCode}) {
    const Raised raised = RaiseFor(code);
    EXPECT_EQ(raised.type, typeid(EAPDException)) << code;
    EXPECT_EQ(raised.message, "Vuvu exception") << code;
    EXPECT_EQ(raised.error_code, 0) << code;
  }
}

// The runtime range becomes the general runtime exceptions, with positive numbers.
TEST(RaiseOnErrorTest, RuntimeRangeRaisesInOutErrorOrOutOfMemory) {
  Raised raised = RaiseFor(-2);
  EXPECT_EQ(raised.type, typeid(EInOutError));
  EXPECT_EQ(raised.message, "File not found");
  EXPECT_EQ(raised.error_code, 2);

  raised = RaiseFor(-162);
  EXPECT_EQ(raised.type, typeid(EInOutError));
  EXPECT_EQ(raised.message, "General failure");
  EXPECT_EQ(raised.error_code, 162);

  // A number without a catalogue text is still an input/output error.
  raised = RaiseFor(-7);
  EXPECT_EQ(raised.type, typeid(EInOutError));
  EXPECT_EQ(raised.error_code, 7);

  EXPECT_EQ(RaiseFor(ecOutOfMemory).type, typeid(EOutOfMemory));
}

// Every code that raises a class raises one of its family, with the code and a catalogue text.
TEST(RaiseOnErrorTest, EveryMappedCodeRaisesItsFamilyWithCodeAndText) {
  int mapped = 0;
  for (int32_t code = -1; code >= -32768; --code) {
    try {
      RaiseOnError(code);
      ADD_FAILURE() << "nothing raised for " << code;
    } catch (const EAPDException& e) {
      if (e.ErrorCode() == 0) continue;
      ++mapped;
      EXPECT_EQ(e.ErrorCode(), code);
      EXPECT_TRUE(IsOfItsFamily(e, code)) << code << " raised " << typeid(e).name();
      EXPECT_NE(MessageForCode(code, &NoSystemText), "") << code;
      EXPECT_EQ(e.Message(), MessageForCode(code)) << code;
    } catch (const Exception&) {
      EXPECT_GE(code, -162) << code;
    }
  }
  EXPECT_EQ(mapped, 166);
}

// A family class catches its members, and the root classes catch everything.
TEST(CheckTapiErrorTest, NoMemoryIsCaughtByEveryBase) {
  const auto no_mem = static_cast<int32_t>(0x80000044);
  try {
    CheckTapiError(no_mem);
    ADD_FAILURE() << "nothing raised";
  } catch (const ETapi& e) {
    EXPECT_EQ(typeid(e), typeid(ETapiNoMem));
    EXPECT_EQ(e.Message(), "No memory");
    EXPECT_EQ(e.ErrorCode(), -13868);
  }
  EXPECT_THROW(CheckTapiError(no_mem), EAPDException);
  EXPECT_THROW(CheckTapiError(no_mem), Exception);
  EXPECT_EQ(CheckTapiError(0), 0);
}

// Each Telephony API error raises its own class; the two numbers it leaves out raise the default.
TEST(CheckTapiErrorTest, EveryTapiErrorNumberRaisesItsClass) {
  for (uint32_t n = 1; n <= 0x56; ++n) {
    const auto result = static_cast<int32_t>(0x80000000u | n);
    const int32_t code = -(13800 + static_cast<int32_t>(n));
    const Raised raised = [&] {
      try {
        CheckTapiError(result);
      } catch (const EAPDException& e) {
        return Raised{typeid(e), e.Message(), e.ErrorCode()};
      }
      return Raised{};
    }();
    if (n == 4 || n == 0x31) {
      EXPECT_EQ(raised.type, typeid(EAPDException)) << n;
      EXPECT_EQ(raised.message, "Vuvu exception") << n;
      continue;
    }
    EXPECT_NE(raised.type, typeid(ETapi)) << n;
    EXPECT_NE(raised.type, typeid(EAPDException)) << n;
    EXPECT_EQ(raised.error_code, code) << n;
  }
}

// The offset turns an error result into a positive code; overflowing results stay failures.
TEST(TapiResultToCodeTest, AddsTheOffsetToTheErrorNumberAndSaturates) {
  EXPECT_EQ(TapiResultToCode(0), 0);
  EXPECT_EQ(TapiResultToCode(static_cast<int32_t>(0x80000001)), 13801);
  EXPECT_EQ(TapiResultToCode(static_cast<int32_t>(0x80000056)), 13886);
  EXPECT_EQ(TapiResultToCode(5), 13805);

  EXPECT_EQ(TapiResultToCode(kMaxCode), kMaxCode);
  EXPECT_EQ(TapiResultToCode(-1), kMaxCode);
  EXPECT_THROW(CheckTapiError(-1), EAPDException);
}

// Member classes build from a code or, with error code 0, from a ready message.
TEST(EAPDExceptionTest, BuildsFromCodeOrMessage) {
  const ETapiWaveFail read_error(ecTapiWaveReadError);
  EXPECT_EQ(read_error.Message(), "Unable to read wave file data");
  EXPECT_EQ(read_error.ErrorCode(), ecTapiWaveReadError);

  const ETapiWaveFail missing(ecFileNotFound);
  EXPECT_EQ(missing.Message(), "File not found");
  EXPECT_EQ(missing.ErrorCode(), -2);

  const ETapiWaveFail from_text(std::string("Bad wave format"));
  EXPECT_EQ(from_text.Message(), "Bad wave format");
  EXPECT_EQ(from_text.ErrorCode(), 0);

  EXPECT_EQ(EAPDException(kMinCode).ErrorCode(), kMinCode);
}

}  // namespace
}  // namespace telvane
