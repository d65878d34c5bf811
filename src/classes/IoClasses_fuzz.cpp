// CS_Buffer and CS_MemoryFile driven by arbitrary operations: reads and writes stay within the
// objects whatever counts and sizes come.
#include <cstddef>
#include <cstdint>
#include <string>

#include "classes/IoClasses.h"
#include "script/Bind.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool named = [] {
        script::ClassIdOf<common::String>::SetName("CS_Buffer");
        return true;
    }();
    (void)named;
    classes::CS_MemoryFile m(static_cast<int32_t>(size % 7) * 3);
    common::String buffer;
    std::string text(reinterpret_cast<const char*>(data), size);
    text.push_back('\0');
    for (size_t i = 0; i + 2 < size && i < 256; i += 3) {
        const int32_t count = static_cast<int32_t>(static_cast<int8_t>(data[i + 1])) * 37;
        switch (data[i] % 6) {
            case 0: classes::buffer::Allocate(&buffer, count); break;
            case 1: classes::buffer::Write(&buffer, text.c_str() + (i % (size + 1)), count); break;
            case 2: m.Write(text.c_str() + (i % (size + 1)), count); break;
            case 3: m.WriteB(script::Variable(&buffer, &script::ClassIdOf<common::String>::id), count); break;
            case 4: m.Read(&buffer); break;
            case 5: classes::buffer::GetAt(&buffer, count); break;
        }
    }
    return 0;
}
