#include "ini_main/code.hpp"

#include "ini_main/runtime.hpp"

#include <cassert>

#include <opcode.h>

// Hand-made bytecode (RESUME, NOP, RETURN_CONST) and location table, in the
// formats of CPython 3.13; RETURN_CONST is gone in the next release.
#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000
#error "The code objects are hand-made for CPython 3.13: check their opcodes and location table for this release."
#endif

namespace ini_main {

namespace {

constexpr int kFlags = CO_OPTIMIZED | CO_NEWLOCALS;
// The location table's format is CPython 3.13's Objects/locations.md: each
// entry starts with a byte 1CCCCLLL (C the code, L the length in code units
// less one); code 13 ("no column info") is followed by the line delta as a
// signed varint: zigzag-coded, six bits a byte, 0x40 marking a continuation.
constexpr unsigned char kNoColumns = 13;

struct Builder {
    static constexpr int kMaxUnits = kMaxStatements + 1;  // RESUME, then one per statement
    unsigned char code[2 * kMaxUnits] = {};
    unsigned char table[4 * kMaxUnits] = {};
    int code_len = 0;
    int table_len = 0;
    int last_line = 0;

    // One instruction of one code unit, located at `line`.
    void emit(unsigned char opcode, unsigned char oparg, int line) {
        assert(code_len + 2 <= static_cast<int>(sizeof code) && table_len + 4 <= static_cast<int>(sizeof table));
        code[code_len++] = opcode;
        code[code_len++] = oparg;
        table[table_len++] = 0x80 | (kNoColumns << 3);
        int delta = line - last_line;
        unsigned int zigzag = delta < 0 ? (static_cast<unsigned int>(-delta) << 1) | 1
                                        : static_cast<unsigned int>(delta) << 1;
        while (zigzag >= 64) {
            table[table_len++] = 0x40 | (zigzag & 63);
            zigzag >>= 6;
        }
        table[table_len++] = static_cast<unsigned char>(zigzag);
        last_line = line;
    }
};

}  // namespace

Ref make_code(const MethodDef& def, PyObject* name, PyObject* varnames, int argcount) noexcept {
    Builder b;
    b.last_line = def.first_line;
    b.emit(RESUME, 0, def.first_line);
    int count = 0;
    while (count < kMaxStatements && def.lines[count]) ++count;
    for (int i = 0; i < count; ++i) {
        b.emit(i + 1 < count ? NOP : RETURN_CONST, 0, def.lines[i]);
    }
    if (count == 0) b.emit(RETURN_CONST, 0, def.first_line);

    Ref bytecode = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<char*>(b.code), b.code_len));
    Ref linetable = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<char*>(b.table), b.table_len));
    Ref consts = Ref::steal(PyTuple_Pack(1, Py_None));
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref exceptions = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!bytecode || !linetable || !consts || !empty || !exceptions) return Ref();
    return Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), 1, kFlags, bytecode.get(),
        consts.get(), empty.get(), varnames, empty.get(), empty.get(), runtime.filename, name, name,
        def.first_line, linetable.get(), exceptions.get())));
}

}  // namespace ini_main
