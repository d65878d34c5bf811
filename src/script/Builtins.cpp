#include "script/Builtins.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>

#include "common/Clock.h"
#include "common/NullText.h"
#include "common/Regex.h"
#include "common/String.h"
#include "platform/EventLoop.h"
#include "platform/KFile.h"
#include "script/Codecs.h"

namespace script {

namespace {

// The value functions take an int or a float; anything else is the function's diagnostic.
float Operand(const Variable& v, const char* name) {
    if (v.type() == VarType::Int) return static_cast<float>(v.int_value());
    if (v.type() == VarType::Float) return v.float_value();
    RaiseF("%s(): unknown type of operand\n", name);
}

using MathFn = float (*)(float);

template <MathFn F>
struct Math {
    static float Call(Variable v, const char* name) { return F(Operand(v, name)); }
};

// One generator per thread, seeded once: reseeding from the clock at every call gave the same
// number for every call within a second.
std::mt19937& Generator() {
    thread_local std::mt19937 gen(
        static_cast<uint32_t>(std::random_device{}() ^ static_cast<uint32_t>(std::time(nullptr))));
    return gen;
}

int32_t RandomBelow(int32_t n) {
    int32_t limit = std::min(n, 32767);
    if (limit <= 0) return 0;  // rand(0) and below have no defined result: never fault
    return static_cast<int32_t>(Generator()() % 32768u) % limit;
}

}  // namespace

void RegisterEngineBuiltins(Interpreter& in) {
    in.AddExternFunction("int",
                         std::make_unique<ExternFunction<int32_t, Variable>>([](Variable v) { return v.ToInt(); }));
    in.AddExternFunction("float",
                         std::make_unique<ExternFunction<float, Variable>>([](Variable v) { return v.ToFloat(); }));
    in.AddExternFunction("string", std::make_unique<ExternFunction<std::string, Variable>>(
                                       [](Variable v) { return common::NullText(v.ToText()); }));
    in.AddExternFunction("MORE", std::make_unique<ExternFunction<void, Variable>>([](Variable v) { v.Print(); }));
    struct Named {
        const char* name;
        float (*fn)(float);
    };
    static const Named kMath[] = {
        {"sin", [](float x) { return std::sin(x); }},   {"asin", [](float x) { return std::asin(x); }},
        {"cos", [](float x) { return std::cos(x); }},   {"acos", [](float x) { return std::acos(x); }},
        {"tan", [](float x) { return std::tan(x); }},   {"atan", [](float x) { return std::atan(x); }},
        {"log", [](float x) { return std::log(x); }},   {"exp", [](float x) { return std::exp(x); }},
        {"sqrt", [](float x) { return std::sqrt(x); }}, {"floor", [](float x) { return std::floor(x); }},
        {"fabs", [](float x) { return std::fabs(x); }}, {"rsq", [](float x) { return 1.0f / std::sqrt(x); }},
        {"rcp", [](float x) { return 1.0f / x; }},
    };
    for (const Named& m : kMath) {
        const Named* entry = &m;
        in.AddExternFunction(m.name, std::make_unique<ExternFunction<float, Variable>>(
                                         [entry](Variable v) { return entry->fn(Operand(v, entry->name)); }));
    }
    in.AddExternFunction("rand", std::make_unique<ExternFunction<Variable, Variable>>([](Variable v) {
                             if (v.type() == VarType::Int) return Variable(RandomBelow(v.int_value()) + 1);
                             if (v.type() == VarType::Float)
                                 return Variable(static_cast<float>(RandomBelow(v.ToInt())) + 1.0f);
                             Raise("rand(): unknown type of operand\n");
                         }));
    in.AddExternFunction("pow", std::make_unique<ExternFunction<float, Variable, float>>(
                                    [](Variable x, float y) { return std::pow(Operand(x, "pow"), y); }));
}

std::string HostBuiltins::Format(const char* format) {
    if (!format || !in_) return std::string();
    Stack<Variable>& values = in_->Values();
    std::string out;
    const std::string_view f(format);
    char buf[2048];
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%') {
            out += f[i];
            continue;
        }
        size_t start = i;
        ++i;
        while (i < f.size() && std::strchr("0123456789.-#", f[i])) {
            if (i - start > 1024) return std::string();
            ++i;
        }
        std::string directive(f.substr(start, i - start));
        if (i >= f.size()) {
            in_->AddLog(
                4, "CS_Scripting::format(): bad format \"" + directive + "\" in \"" + std::string(f) + "\" string\r\n",
                "CS_Scripting", "format", "SCRIPT", 0);
            break;
        }
        char conv = f[i];
        // Width and precision are bounded so one conversion fits the buffer.
        auto print = [&](auto value) {
            std::string fmt = directive + conv;
            int n = std::snprintf(buf, sizeof buf, fmt.c_str(), value);
            if (n > 0) out.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
        };
        if (std::strchr("cdiouxX", conv)) {
            print(values.pop().ToInt());
        } else if (std::strchr("fgGeE", conv)) {
            print(static_cast<double>(values.pop().ToFloat()));
        } else if (conv == 's') {
            Variable v = values.pop();
            const char* t = v.ToText();
            if (t) out += t;
        } else if (conv == 'p') {
            print(values.pop().ToPointer());
        } else if (conv == '%') {
            out += '%';
        } else {
            in_->AddLog(4,
                        "CS_Scripting::format(): unknown format \"" + directive + conv + "\" in \"" + std::string(f) +
                            "\" string\r\n",
                        "CS_Scripting", "format", "SCRIPT", 0);
        }
    }
    return out;
}

void HostBuiltins::Exit() {
    exiting_ = true;
    if (in_) in_->Abort();
}

std::string HostBuiltins::GetConfig(const char* key, const char* second) {
    if (!key) return std::string();
    return ConfigValue(key, second);
}

std::string HostBuiltins::SubStr(const char* text, int32_t start, int32_t count) {
    return common::String(text).Mid(start, count).str();
}

std::string HostBuiltins::Trim(const char* text) {
    return common::String(text).Trim().str();
}
std::string HostBuiltins::TrimLeft(const char* text) {
    return common::String(text).TrimLeft().str();
}
std::string HostBuiltins::TrimRight(const char* text) {
    return common::String(text).TrimRight().str();
}
std::string HostBuiltins::TrimInternal(const char* text) {
    return codec::TrimInternal(common::NullText(text));
}
std::string HostBuiltins::Lc(const char* text) {
    return common::String(text).MakeLower().str();
}
std::string HostBuiltins::Uc(const char* text) {
    return common::String(text).MakeUpper().str();
}
std::string HostBuiltins::Split(const char* text, char separator, int32_t index) {
    return codec::Split(common::NullText(text), separator, index);
}

std::string HostBuiltins::Replace(const char* text, const char* find, const char* replacement) {
    common::String s(text);
    if (find && *find) s.Replace(find, replacement ? replacement : "");
    return s.str();
}

int32_t HostBuiltins::StrLen(const char* text) {
    return text ? static_cast<int32_t>(std::strlen(text)) : 0;
}
int32_t HostBuiltins::Chr(int32_t value) {
    return static_cast<signed char>(value & 0xFF);
}
int32_t HostBuiltins::Ord(char value) {
    return static_cast<signed char>(value);
}
float HostBuiltins::CharToFloat(const char* text) {
    return text ? std::strtof(text, nullptr) : 0.0f;
}
int32_t HostBuiltins::CharToInt(const char* text) {
    return text ? static_cast<int32_t>(std::strtol(text, nullptr, 10)) : 0;
}

std::string HostBuiltins::FloatToChar(float value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(value));
    return buf;
}

std::string HostBuiltins::IntToChar(int32_t value) {
    return std::to_string(value);
}
int32_t HostBuiltins::FloatToInt(float value) {
    return Variable(value).ToInt();
}
float HostBuiltins::IntToFloat(int32_t value) {
    return static_cast<float>(value);
}

int32_t HostBuiltins::CompareStringNoCase(const char* a, const char* b) {
    if (!a || !b) return 0;
    return common::String(a).CompareNoCase(b);
}

std::string HostBuiltins::Encode64(const char* text) {
    return codec::Encode64(common::NullText(text));
}
std::string HostBuiltins::Decode64(const char* text) {
    return codec::Decode64(common::NullText(text));
}
std::string HostBuiltins::MD5(const char* text) {
    return text ? common::Md5Hex(text) : std::string();
}

std::string HostBuiltins::MD5File(const char* path, int32_t chunk) {
    if (!path) return std::string();
    if (chunk < 1 || chunk > 1048576) chunk = 4096;
    platform::CKFile f;
    if (!platform::IsRegularFile(path) || !f.Open(path, platform::kFileRead)) return std::string();
    common::Md5 md5;
    std::string block(static_cast<size_t>(chunk), '\0');
    for (;;) {
        int64_t n = f.Read(block.data(), block.size());
        if (n < 0) return std::string();
        if (n == 0) break;
        md5.Update(std::string_view(block.data(), static_cast<size_t>(n)));
    }
    return md5.HexDigest();
}

void HostBuiltins::MD5StartStream() {
    stream_.Reset();
}
void HostBuiltins::MD5UpdateStream(const char* text) {
    if (text) stream_.Update(text);
}
void HostBuiltins::MD5UpdateStreamB(Variable buffer, int32_t length) {
    common::String* bytes = bind::From<common::String*>(buffer);
    if (!bytes || length < 1 || length > 32768) return;
    std::string_view view = bytes->Bytes();
    stream_.Update(view.substr(0, std::min(view.size(), static_cast<size_t>(length))));
}
std::string HostBuiltins::MD5FinalStream() {
    return stream_.HexDigest();
}

std::string HostBuiltins::DecodeHtmlSpecialChar(const char* text) {
    return codec::DecodeHtmlSpecialChar(common::NullText(text));
}
std::string HostBuiltins::EncodeHtmlSpecialChar(const char* text) {
    return codec::EncodeHtmlSpecialChar(common::NullText(text));
}
std::string HostBuiltins::DeOfuscate(const char* text) {
    return codec::DeOfuscate(common::NullText(text));
}
std::string HostBuiltins::HtmlToText(const char* text) {
    return codec::HtmlToText(common::NullText(text));
}
std::string HostBuiltins::URLDecode(const char* text) {
    return codec::URLDecode(common::NullText(text));
}
std::string HostBuiltins::URLEncode(const char* text) {
    return text ? codec::URLEncode(text) : std::string();
}
int32_t HostBuiltins::HextoInt(const char* text) {
    return codec::HextoInt(common::NullText(text));
}
int32_t HostBuiltins::Time() {
    return static_cast<int32_t>(common::NowSeconds());
}

int32_t HostBuiltins::GetTickCount() {
    uint32_t raw = common::TickCount();
    if (!tick_started_) {
        tick_started_ = true;
        tick_base_ = 0;
        tick_last_ = raw;
    }
    if (raw < tick_last_) {  // the 32-bit counter wrapped
        tick_offset_ += tick_result_;
        tick_base_ = raw;
    }
    tick_last_ = raw;
    tick_result_ = static_cast<int64_t>(raw) + tick_offset_ - tick_base_;
    return static_cast<int32_t>(tick_result_);
}

std::string HostBuiltins::DateTimeFormat(const char* format, int32_t time) {
    std::time_t t = time > 0 ? static_cast<std::time_t>(time) : std::time(nullptr);
    std::tm gmt{};
    gmtime_r(&t, &gmt);
    char buf[256];
    size_t n = std::strftime(buf, sizeof buf, format ? format : "%a, %d %b %Y %H:%M:%S GMT", &gmt);
    return std::string(buf, n);
}

void HostBuiltins::Sleep(int32_t ms) {
    // In slices, so an abort (a stopping host) does not wait out a long sleep.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (ms > 0 && std::chrono::steady_clock::now() < until) {
        if (in_ && in_->Aborted()) return;
        auto left = until - std::chrono::steady_clock::now();
        // On an event loop the session yields: the loop's other sessions go on meanwhile.
        platform::SleepMs(
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                                 std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)))
                                 .count()));
    }
}

int32_t HostBuiltins::REeq(const char* text, const char* pattern, int32_t options) {
    for (std::string& g : groups_) g.clear();
    if (!text || !pattern) return 0;
    common::RegexMatch m = common::RegexSearch(pattern, options, text);
    if (m.status == common::RegexStatus::BadPattern && in_)
        in_->AddLog(4, "REeq(): bad pattern \"" + std::string(pattern) + "\": " + m.error, "CS_Scripting", "REeq",
                    "SCRIPT", 0);
    if (!m.matched()) return 0;
    for (int i = 1; i <= 5; ++i) groups_[static_cast<size_t>(i - 1)] = m.text[static_cast<size_t>(i)];
    return m.groups;
}

}  // namespace script
