#pragma once
// The utility classes a script may import with #import(class, Name). The registry is open:
// each subsystem adds its classes at start (RegisterImportable), and a host calls
// RegisterImports after preprocessing, so a script gets exactly the classes it imported.
#include <string>
#include <vector>

#include "script/Interpreter.h"

namespace script {

inline constexpr const char* kMorvaneVersion = "3.0.1";

using ImportRegistrar = void (*)(Interpreter& in);

// Adds (or replaces) the registrar of an importable class. Call before hosts compile scripts.
void RegisterImportable(const std::string& name, ImportRegistrar registrar);
std::vector<std::string> ImportableNames();
// Registers every importable class, imported or not (for declaration listings).
void RegisterAllImportables(Interpreter& in);
// Registers every class the script imported that has a registrar, and GetMorvaneVersion.
void RegisterImports(Interpreter& in);
// Preprocesses the file, registers its imports and compiles it (running the global code).
// False with the diagnostics in `error`, which says so when the file cannot be read.
bool LoadScriptFile(Interpreter& in, const std::string& path, std::string* error);

}  // namespace script
