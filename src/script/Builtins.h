#pragma once
// The built-in functions every script has: the engine's own (int, float, string, MORE, the math
// functions, rand, pow) and the generic host built-ins that every host class carries (Format,
// text, conversions, codecs, MD5, time, REeq). Hosts derive their host class from
// HostBuiltins and register its methods with AddHostBuiltins.
#include <array>
#include <cstdint>
#include <string>

#include "common/Md5.h"
#include "script/Bind.h"
#include "script/Interpreter.h"

namespace script {

// Registers int, float, string, MORE, sin ... floor, fabs, rsq, rcp, rand and pow.
void RegisterEngineBuiltins(Interpreter& in);

class HostBuiltins {
public:
    explicit HostBuiltins(Interpreter* in) : in_(in) {}
    virtual ~HostBuiltins() = default;

    // Format(format, values...): the values are the call's extra arguments on the stack.
    std::string Format(const char* format);
    // Hosts add what ending means for them (a session closes its connection).
    virtual void Exit();
    bool Exiting() const { return exiting_; }
    // A configuration value; hosts bound to a kernel override ConfigValue.
    std::string GetConfig(const char* key, const char* second);
    std::string SubStr(const char* text, int32_t start, int32_t count);
    std::string Trim(const char* text);
    std::string TrimLeft(const char* text);
    std::string TrimRight(const char* text);
    std::string TrimInternal(const char* text);
    std::string Lc(const char* text);
    std::string Uc(const char* text);
    std::string Split(const char* text, char separator, int32_t index);
    std::string Replace(const char* text, const char* find, const char* replacement);
    int32_t StrLen(const char* text);
    int32_t Chr(int32_t value);
    int32_t Ord(char value);
    float CharToFloat(const char* text);
    int32_t CharToInt(const char* text);
    std::string FloatToChar(float value);
    std::string IntToChar(int32_t value);
    int32_t FloatToInt(float value);
    float IntToFloat(int32_t value);
    int32_t CompareStringNoCase(const char* a, const char* b);
    std::string Encode64(const char* text);
    std::string Decode64(const char* text);
    std::string MD5(const char* text);
    virtual std::string MD5File(const char* path, int32_t chunk);
    void MD5StartStream();
    void MD5UpdateStream(const char* text);
    // `buffer` must be a CS_Buffer object: an untyped address would let a script read any
    // memory, so it is refused.
    void MD5UpdateStreamB(Variable buffer, int32_t length);
    std::string MD5FinalStream();
    std::string DecodeHtmlSpecialChar(const char* text);
    std::string EncodeHtmlSpecialChar(const char* text);
    std::string DeOfuscate(const char* text);
    std::string HtmlToText(const char* text);
    std::string URLDecode(const char* text);
    std::string URLEncode(const char* text);
    int32_t HextoInt(const char* text);
    int32_t Time();
    int32_t GetTickCount();
    std::string DateTimeFormat(const char* format, int32_t time);
    void Sleep(int32_t ms);
    int32_t REeq(const char* text, const char* pattern, int32_t options);
    std::string Group1() { return groups_[0]; }
    std::string Group2() { return groups_[1]; }
    std::string Group3() { return groups_[2]; }
    std::string Group4() { return groups_[3]; }
    std::string Group5() { return groups_[4]; }

protected:
    virtual std::string ConfigValue(const std::string& /*key*/, const char* /*second*/) { return std::string(); }
    Interpreter* interpreter() const { return in_; }

private:
    Interpreter* in_;
    bool exiting_ = false;
    std::array<std::string, 5> groups_;
    common::Md5 stream_;
    uint32_t tick_last_ = 0, tick_base_ = 0;
    int64_t tick_offset_ = 0, tick_result_ = 0;
    bool tick_started_ = false;
};

// Registers the generic host built-ins as methods of a host class binding.
template <typename Binding>
void AddHostBuiltins(Binding& b) {
    using H = HostBuiltins;
    b.Method("Format", &H::Format, ",...")
        .Method("Exit", &H::Exit)
        .Method("GetConfig", &H::GetConfig, ",0")
        .Method("SubStr", &H::SubStr)
        .Method("Trim", &H::Trim)
        .Method("TrimLeft", &H::TrimLeft)
        .Method("TrimRight", &H::TrimRight)
        .Method("TrimInternal", &H::TrimInternal)
        .Method("Lc", &H::Lc)
        .Method("Uc", &H::Uc)
        .Method("Split", &H::Split)
        .Method("Replace", &H::Replace)
        .Method("StrLen", &H::StrLen)
        .Method("Chr", &H::Chr)
        .Method("Ord", &H::Ord)
        .Method("CharToFloat", &H::CharToFloat)
        .Method("CharToInt", &H::CharToInt)
        .Method("FloatToChar", &H::FloatToChar)
        .Method("IntToChar", &H::IntToChar)
        .Method("FloatToInt", &H::FloatToInt)
        .Method("IntToFloat", &H::IntToFloat)
        .Method("CompareStringNoCase", &H::CompareStringNoCase)
        .Method("Encode64", &H::Encode64)
        .Method("Decode64", &H::Decode64)
        .Method("MD5", &H::MD5)
        .Method("MD5File", &H::MD5File)
        .Method("MD5StartStream", &H::MD5StartStream)
        .Method("MD5UpdateStream", &H::MD5UpdateStream)
        .Method("MD5UpdateStreamB", &H::MD5UpdateStreamB)
        .Method("MD5FinalStream", &H::MD5FinalStream)
        .Method("DecodeHtmlSpecialChar", &H::DecodeHtmlSpecialChar)
        .Method("EncodeHtmlSpecialChar", &H::EncodeHtmlSpecialChar)
        .Method("DeOfuscate", &H::DeOfuscate)
        .Method("HtmlToText", &H::HtmlToText)
        .Method("URLDecode", &H::URLDecode)
        .Method("URLEncode", &H::URLEncode)
        .Method("HextoInt", &H::HextoInt)
        .Method("Time", &H::Time)
        .Method("GetTickCount", &H::GetTickCount)
        .Method("DateTimeFormat", &H::DateTimeFormat, ",0")
        .Method("Sleep", &H::Sleep)
        .Method("REeq", &H::REeq)
        .Method("$1", &H::Group1)
        .Method("$2", &H::Group2)
        .Method("$3", &H::Group3)
        .Method("$4", &H::Group4)
        .Method("$5", &H::Group5);
}

}  // namespace script
