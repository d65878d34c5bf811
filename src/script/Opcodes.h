#pragma once
// The bytecode: one flat vector of 32-bit words; an instruction is an opcode word followed by
// its operand words. A reference operand is (namespace id << 16) | index in that namespace's
// table of the right kind; call, jump and native operands are plain indexes or addresses.
#include <array>
#include <cstdint>
#include <string_view>

namespace script {

enum Op : int32_t {
    PUSH_CONST = 0,              // const ref            push a copy of the constant
    PUSH_VAR = 1,                // var ref              push a copy of the variable
    PUSH_VAR_COMPONENT = 2,      // var ref, component   never emitted; rejected
    PUSH_EXTERN_VAR = 3,         // native var index     push the native variable's value
    PUSH_EXTERN_COMPONENT = 4,   // index, component     never emitted; rejected
    PUSH_ARRAY_REF = 5,          // array ref            push the reference the array stands for
    ARRAY_LOAD = 6,              // array ref            pop index/key, push the element
    ARRAY_LOAD_COMPONENT = 7,    // array ref, component never emitted; rejected
    PUSH_OBJECT = 8,             // object ref           push a pointer to the native object
    POP = 9,                     //                      discard the top
    STORE = 10,                  // var ref              pop into the variable
    STORE_COMPONENT = 11,        // var ref, component   never emitted; rejected
    ARRAY_BIND = 12,             // array ref            pop a reference; the array stands for it
    ARRAY_STORE = 13,            // array ref            pop index/key, pop value, store
    ARRAY_STORE_COMPONENT = 14,  // array ref, component never emitted; rejected
    OBJ_ASSIGN = 15,             // object ref           the binding takes the object off the stack
    DUP = 16,                    //                      push a copy of the top
    SWAP = 17,                   //                      exchange the two top values
    ARRAY_NEW = 18,              // array ref            pop the size, construct the array
    CALL = 19,                   // function ref         call a script function
    CALL_EXTERN = 20,            // native fn index      call a native function
    CONSTRUCT = 21,              // object ref           construct the native object
    DESTRUCT = 22,               // object ref           destroy the native object
    CALL_METHOD = 23,            // object ref, method   call a method of the native object
    NOP = 24,                    //                      removed by the optimiser
    NOT = 25,                    //                      pop, push !int
    NEG = 26,                    //                      pop, push x * -1
    INC = 27,                    //                      pop, push x + 1
    DEC = 28,                    //                      pop, push x - 1
    INC_VAR = 29,                // var ref              variable += 1
    DEC_VAR = 30,                // var ref              variable -= 1
    MUL = 31,
    DIV = 32,
    MOD = 33,
    ADD = 34,
    SUB = 35,  // pop right, pop left, push left op right
    EQ = 36,
    NE = 37,
    LE = 38,
    GE = 39,
    LT = 40,
    GT = 41,  // comparisons as int 0/1
    AND = 42,
    OR = 43,
    BITAND = 44,
    BITOR = 45,
    XOR = 46,
    JMP = 47,  // address              jump
    JZ = 48,   // address              pop; jump if int 0
    JNZ = 49,  // address              pop; jump if not int 0
    JEQ = 50,
    JNE = 51,
    JLE = 52,
    JGE = 53,
    JLT = 54,
    JGT = 55,  // address: pop r, pop l, jump if l op r
    END = 56,  //                      return from the function
};

inline constexpr int32_t kOpCount = 57;

inline constexpr std::array<std::string_view, kOpCount> kOpNames = {"PUSH_CONST",
                                                                    "PUSH_VAR",
                                                                    "PUSH_VAR_COMPONENT",
                                                                    "PUSH_EXTERN_VAR",
                                                                    "PUSH_EXTERN_COMPONENT",
                                                                    "PUSH_ARRAY_REF",
                                                                    "ARRAY_LOAD",
                                                                    "ARRAY_LOAD_COMPONENT",
                                                                    "PUSH_OBJECT",
                                                                    "POP",
                                                                    "STORE",
                                                                    "STORE_COMPONENT",
                                                                    "ARRAY_BIND",
                                                                    "ARRAY_STORE",
                                                                    "ARRAY_STORE_COMPONENT",
                                                                    "OBJ_ASSIGN",
                                                                    "DUP",
                                                                    "SWAP",
                                                                    "ARRAY_NEW",
                                                                    "CALL",
                                                                    "CALL_EXTERN",
                                                                    "CONSTRUCT",
                                                                    "DESTRUCT",
                                                                    "CALL_METHOD",
                                                                    "NOP",
                                                                    "NOT",
                                                                    "NEG",
                                                                    "INC",
                                                                    "DEC",
                                                                    "INC_VAR",
                                                                    "DEC_VAR",
                                                                    "MUL",
                                                                    "DIV",
                                                                    "MOD",
                                                                    "ADD",
                                                                    "SUB",
                                                                    "EQ",
                                                                    "NE",
                                                                    "LE",
                                                                    "GE",
                                                                    "LT",
                                                                    "GT",
                                                                    "AND",
                                                                    "OR",
                                                                    "BITAND",
                                                                    "BITOR",
                                                                    "XOR",
                                                                    "JMP",
                                                                    "JZ",
                                                                    "JNZ",
                                                                    "JEQ",
                                                                    "JNE",
                                                                    "JLE",
                                                                    "JGE",
                                                                    "JLT",
                                                                    "JGT",
                                                                    "END"};
static_assert(kOpNames.size() == kOpCount);
static_assert(kOpNames[END] == "END" && kOpNames[JMP] == "JMP" && kOpNames[NOP] == "NOP");

// Operand words after each opcode.
constexpr int OperandCount(int32_t op) {
    switch (op) {
        case PUSH_CONST:
        case PUSH_VAR:
        case PUSH_EXTERN_VAR:
        case PUSH_ARRAY_REF:
        case ARRAY_LOAD:
        case PUSH_OBJECT:
        case STORE:
        case ARRAY_BIND:
        case ARRAY_STORE:
        case OBJ_ASSIGN:
        case ARRAY_NEW:
        case CALL:
        case CALL_EXTERN:
        case CONSTRUCT:
        case DESTRUCT:
        case INC_VAR:
        case DEC_VAR: return 1;
        case PUSH_VAR_COMPONENT:
        case PUSH_EXTERN_COMPONENT:
        case ARRAY_LOAD_COMPONENT:
        case STORE_COMPONENT:
        case ARRAY_STORE_COMPONENT:
        case CALL_METHOD: return 2;
        default: return (op >= JMP && op <= JGT) ? 1 : 0;
    }
}

constexpr bool IsJump(int32_t op) {
    return op >= JMP && op <= JGT;
}
constexpr int32_t MakeRef(int32_t ns, int32_t index) {
    return (ns << 16) | (index & 0xFFFF);
}

}  // namespace script
