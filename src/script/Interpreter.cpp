#include "script/Interpreter.h"

#include <algorithm>
#include <cstdio>

#include "script/Builtins.h"
#include "script/Compiler.h"
#include "script/Opcodes.h"

namespace script {

namespace {
constexpr const char* kSource = "CS_Scripting";
constexpr const char* kType = "SCRIPT";
}  // namespace

Interpreter::Interpreter() {
    ResetGlobals();
    RegisterEngineBuiltins(*this);
}

Interpreter::~Interpreter() = default;

NameSpace* Interpreter::NewNamespace(NameSpace* parent) {
    if (namespaces_.size() >= kMaxPerNamespace) Raise("NS::addnamespace(): maximum namespace count is 64k");
    int id = static_cast<int>(namespaces_.size());
    namespaces_.push_back(std::make_unique<NameSpace>(id, parent));
    NameSpace* ns = namespaces_.back().get();
    if (parent) parent->children().push_back(ns);
    return ns;
}

void Interpreter::ResetGlobals() {
    if (global_) global_->MoveTo(*this);
    namespaces_.clear();
    global_ = nullptr;
    global_ = NewNamespace(nullptr);
}

void Interpreter::Fail(const std::string& text) {
    std::string entry = location_.empty() ? text : location_ + "\n" + text;
    AddLog(4, entry, kSource, "Interpreter", kType, 0);
    error_ = true;
}

void Interpreter::FailAt(const std::string& text) {
    location_ = fault_pc_ >= 0 ? SourceLineOf(static_cast<size_t>(fault_pc_)) : std::string();
    fault_pc_ = -1;
    Fail(text);
    location_.clear();
}

int Interpreter::LoadByRam(std::string_view text) {
    if (text.empty()) {
        AddLog(4, "CS_Scripting::loadbyram()... can't open pointer", kSource, "loadbyram", kType, 0);
        error_ = true;
        return 0;
    }
    abort_ = false;
    location_.clear();
    location_offset_ = std::string::npos;
    program_.clear();
    word_offsets_.clear();
    lines_.clear();
    fault_pc_ = -1;
    values_.clear();
    symbols_["__VERSION__"] = "\"2.0\"";
    try {
        Compiler compiler(*this, text);
        compiler.CompileAll(global_);
        location_.clear();
        program_.push_back(PUSH_CONST);
        program_.push_back(MakeRef(global_->id(), global_->AddConstant(Variable(int32_t{0}))));
        program_.push_back(END);
        const uint32_t end_at = static_cast<uint32_t>(text.size());
        word_offsets_.insert(word_offsets_.end(), program_.size() - word_offsets_.size(), end_at);
        Optimize();
        BuildLineTable(text);
        Link();
        SaveInitialState();
        Execute(0, nullptr, 0);
        if (values_.depth() > 0) values_.drop();
        values_.clear();
        return 1;
    } catch (const ScriptError& e) {
        if (fault_pc_ >= 0) {
            location_ = SourceLineOf(static_cast<size_t>(fault_pc_));
        } else if (!location_.empty() && location_offset_ != std::string::npos) {
            // A compile error: where the statement stands, then the statement.
            const std::string where = SourceOfOffset(text, location_offset_);
            if (!where.empty()) location_ = where + ": " + location_;
        }
        program_.clear();
        linked_.clear();
        lines_.clear();
        values_.clear();
        initial_.clear();
        ResetGlobals();
        Fail(e.what());
        location_.clear();
        return 0;
    }
}

void Interpreter::SaveInitialState() {
    initial_.clear();
    initial_.reserve(namespaces_.size());
    for (const auto& ns : namespaces_) {
        InitialState s;
        s.variables.reserve(ns->variables.size());
        for (const NSVariable& v : ns->variables) s.variables.push_back(v.value);
        s.arrays.reserve(ns->arrays.size());
        for (const NSArray& a : ns->arrays) s.arrays.push_back(a);
        for (const NSFunction& f : ns->functions) {
            s.arguments.emplace_back();
            for (const NSArgument& a : f.args) s.arguments.back().push_back(a.slot);
        }
        initial_.push_back(std::move(s));
    }
}

int Interpreter::Restart() {
    if (program_.empty() || initial_.size() != namespaces_.size()) return 0;
    abort_ = false;
    error_ = false;
    location_.clear();
    values_.clear();
    // Objects first: a variable may still point at one.
    for (auto& c : classes_) c.binding->ResetObjects();
    for (size_t n = 0; n < namespaces_.size(); ++n) {
        NameSpace& ns = *namespaces_[n];
        const InitialState& s = initial_[n];
        for (size_t i = 0; i < ns.variables.size(); ++i) ns.variables[i].value = s.variables[i];
        for (size_t i = 0; i < ns.arrays.size(); ++i) ns.arrays[i] = s.arrays[i];
        for (size_t f = 0; f < ns.functions.size(); ++f)
            for (size_t a = 0; a < ns.functions[f].args.size(); ++a) ns.functions[f].args[a].slot = s.arguments[f][a];
    }
    try {
        Execute(0, nullptr, 0);
        if (values_.depth() > 0) values_.drop();
        values_.clear();
        return 1;
    } catch (const ScriptError& e) {
        values_.clear();
        Fail(e.what());
        return 0;
    }
}

bool Interpreter::AddExternVariable(const std::string& name, std::unique_ptr<ExternVariableBase> binding) {
    if (variable_index_.count(name)) {
        AddLog(4, "CS_Scripting::addExternVariable(): \"" + name + "\" variable already defined", kSource,
               "addExternVariable", kType, 0);
        return false;
    }
    variable_index_[name] = static_cast<int>(variables_.size());
    variables_.push_back({name, std::move(binding)});
    return true;
}

bool Interpreter::AddExternFunction(const std::string& name, std::unique_ptr<ExternFunctionBase> binding) {
    if (function_index_.count(name)) {
        AddLog(4, "CS_Scripting::addExternFunction(): \"" + name + "\" function already defined", kSource,
               "addExternFunction", kType, 0);
        return false;
    }
    function_index_[name] = static_cast<int>(functions_.size());
    functions_.push_back({name, std::move(binding)});
    return true;
}

bool Interpreter::AddExternClass(const std::string& name, std::unique_ptr<ExternClassBase> binding) {
    if (class_index_.count(name)) {
        AddLog(4, "CS_Scripting::addExternClass(): \"" + name + "\" class already defined", kSource, "addExternClass",
               kType, 0);
        return false;
    }
    class_index_[name] = static_cast<int>(classes_.size());
    classes_.push_back({name, std::move(binding)});
    return true;
}

int Interpreter::ExternClassIndex(const std::string& name) const {
    auto it = class_index_.find(name);
    return it == class_index_.end() ? -1 : it->second;
}

std::string Interpreter::CollectDiagnostics() {
    for (auto& ns : namespaces_) ns->MoveTo(*this);
    for (auto& c : classes_) c.binding->MoveTo(*this);
    std::string text;
    std::deque<logging::LogQueueItem> items = TakeAll();
    for (const logging::LogQueueItem& item : items) {
        text += item.entry.str();
        text += "\n";
    }
    // The items stay queued for the host's log.
    for (logging::LogQueueItem& item : items)
        AddLog(item.level, item.entry.View(), item.file.View(), item.function.View(), item.type.View(),
               item.id_connection);
    return text;
}

void Interpreter::PrintDeclarations() const {
    for (const auto& v : variables_) v.binding->PrintDeclaration(v.name);
    for (const auto& f : functions_) f.binding->PrintDeclaration(f.name);
    for (const auto& c : classes_) c.binding->PrintDeclaration(c.name);
}

uint32_t Interpreter::SourceFile(const std::string& path) {
    for (size_t i = 0; i < source_files_.size(); ++i)
        if (source_files_[i] == path) return static_cast<uint32_t>(i);
    source_files_.push_back(path);
    return static_cast<uint32_t>(source_files_.size() - 1);
}

void Interpreter::BuildLineTable(std::string_view text) {
    // The marks describe this text only if it is the one PreprocessText returned; any other
    // text (compiled directly, or changed since) is numbered by its own lines.
    const bool marked = !source_marks_.empty() && marked_size_ == text.size();
    std::vector<size_t> line_starts;
    if (!marked) {
        line_starts.push_back(0);
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == '\n') line_starts.push_back(i + 1);
    }
    lines_.clear();
    for (size_t pc = 0; pc < program_.size() && pc < word_offsets_.size();) {
        const size_t at = word_offsets_[pc];
        uint32_t file = kNoFile;
        int32_t line = 0;
        if (marked) {
            auto it = std::upper_bound(source_marks_.begin(), source_marks_.end(), at,
                                       [](size_t off, const SourceMark& m) { return off < m.offset; });
            if (it != source_marks_.begin()) {
                --it;
                file = it->file;
                line = it->line;
            }
        } else {
            line = static_cast<int32_t>(std::upper_bound(line_starts.begin(), line_starts.end(), at) -
                                        line_starts.begin());
        }
        // One entry per run of instructions from the same line keeps the table small.
        if (lines_.empty() || lines_.back().file != file || lines_.back().line != line)
            lines_.push_back({static_cast<uint32_t>(pc), file, line});
        const int32_t op = program_[pc];
        pc += 1 + static_cast<size_t>(op >= 0 && op < kOpCount ? OperandCount(op) : 0);
    }
    word_offsets_.clear();
    word_offsets_.shrink_to_fit();
    source_marks_.clear();
    source_marks_.shrink_to_fit();
}

std::string Interpreter::SourceOfOffset(std::string_view text, size_t at) const {
    if (at > text.size()) return {};
    if (!source_marks_.empty() && marked_size_ == text.size()) {
        auto it = std::upper_bound(source_marks_.begin(), source_marks_.end(), at,
                                   [](size_t off, const SourceMark& m) { return off < m.offset; });
        if (it == source_marks_.begin()) return {};
        --it;
        if (it->line <= 0) return {};
        if (it->file == kNoFile || it->file >= source_files_.size()) return "line " + std::to_string(it->line);
        return source_files_[it->file] + ":" + std::to_string(it->line);
    }
    const auto lines = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    return "line " + std::to_string(lines + 1);
}

std::string Interpreter::SourceLineOf(size_t pc) const {
    auto it = std::upper_bound(lines_.begin(), lines_.end(), pc, [](size_t p, const LineEntry& e) { return p < e.pc; });
    if (it == lines_.begin()) return {};
    --it;
    if (it->line <= 0) return {};
    if (it->file == kNoFile || it->file >= source_files_.size()) return "line " + std::to_string(it->line);
    return source_files_[it->file] + ":" + std::to_string(it->line);
}

std::string Interpreter::Disassemble() const {
    std::string out;
    char line[128];
    size_t next_entry = 0;
    for (size_t pc = 0; pc < program_.size();) {
        if (next_entry < lines_.size() && lines_[next_entry].pc == pc) {
            std::string where = SourceLineOf(pc);
            if (!where.empty()) out += "; " + where + "\n";
            ++next_entry;
        }
        int32_t op = program_[pc];
        if (op < 0 || op >= kOpCount) {
            std::snprintf(line, sizeof line, "%06zu  ??? %d\n", pc, op);
            out += line;
            ++pc;
            continue;
        }
        int n = OperandCount(op);
        int w = std::snprintf(line, sizeof line, "%06zu  %-16s", pc,
                              std::string(kOpNames[static_cast<size_t>(op)]).c_str());
        for (int i = 1; i <= n && pc + static_cast<size_t>(i) < program_.size(); ++i) {
            int32_t a = program_[pc + static_cast<size_t>(i)];
            if (IsJump(op) || op == CALL_EXTERN || op == PUSH_EXTERN_VAR || (op == CALL_METHOD && i == 2))
                w += std::snprintf(line + w, sizeof line - static_cast<size_t>(w), " %d", a);
            else
                w += std::snprintf(line + w, sizeof line - static_cast<size_t>(w), " %d:%d", a >> 16, a & 0xFFFF);
        }
        out += line;
        out += "\n";
        pc += 1 + static_cast<size_t>(n);
    }
    return out;
}

}  // namespace script
