// The functions of each submodule, registered by module.cpp in this order.
// Each format's binding file defines its table; every table ends with a
// zeroed sentinel.
#pragma once

#include "binding/args.hpp"

namespace tabrix::py {

// Signatures shared by the submodules (the docstrings in the tables spell
// the same text signatures).
inline constexpr Signature kLoadsSignature{"loads", {"data"}};
inline constexpr Signature kLoadsAllSignature{"_loads_all", {"data"}};
inline constexpr Signature kDumpsSignature{"dumps", {"obj"}};
inline constexpr Signature kStreamSignature{"stream", {"data"}};
inline constexpr Signature kStreamAtSignature{"stream_at", {"path"}};
inline constexpr Signature kDumpsHeaderSignature{"dumps_header", {"header"}};
inline constexpr Signature kDumpsRowSignature{"dumps_row", {"header", "number", "row"}};
inline constexpr Signature kInterpolateSignature{"interpolate", {"tree", "env"}};

inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

extern PyMethodDef yaml_functions[];         // loads, dumps
extern PyMethodDef csv_functions[];          // loads, dumps, stream, stream_at, dumps_header, dumps_row
extern PyMethodDef tsv_functions[];          // the same, with TAB as the delimiter
extern PyMethodDef toml_functions[];         // loads, dumps
extern PyMethodDef jsonc_functions[];        // loads, dumps
extern PyMethodDef ini_functions[];          // loads, dumps
extern PyMethodDef interpolate_functions[];  // interpolate (on the parent module)

// The CsvStream class, shared by csv and tsv: one object per process, made on
// first request. A borrowed reference, or NULL with an exception.
PyObject* csv_stream_type();

}  // namespace tabrix::py
