// Conversions between Python objects and what tovik::TovikDB takes and returns:
// arguments in (text, bool, integers in range, float vectors, (id, score) pairs) and
// results out (result lists, None, ints, or the exception for an Error).
//
// Conversion errors are TypeError (OverflowError for integers out of range); args.hpp
// prefixes a TypeError with the parameter's name. Their texts are part of the module's
// fixed surface (convert.cpp names them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "args.hpp"  // first: Python.h must precede the standard headers
#include "core.hpp"
#include "result.hpp"
#include "scored_pair.hpp"

namespace tovik::py {

// ---------------------------------------------------------------------------------------
// Argument conversion

// A str, as UTF-8 that lives as long as `obj`.
bool to_text(PyObject* obj, std::string_view& out);
// Exactly True or False.
bool to_bool(PyObject* obj, bool& out);
// Any object with __index__, 0 to 2**32 - 1.
bool to_u32(PyObject* obj, uint32_t& out);
// A count: 0 to 2**32 - 1 on every platform (the target's size_t), so that the same call
// is accepted or refused alike on 32- and 64-bit hosts.
bool to_size(PyObject* obj, size_t& out);
// Any object with __index__ that fits 64 signed bits.
bool to_i64(PyObject* obj, int64_t& out);
// A non-str sequence of floats, ints or anything with __float__; each double rounded
// to single precision. Plain lists and tuples of exact floats and ints, and the buffers
// of native floats or doubles of memoryviews and exact float arrays (array.array,
// numpy.ndarray), are converted in one step without running the caller's code.
bool to_vector(PyObject* seq, std::vector<float>& out);
// The one-step conversions of to_vector, before the borrow (see Prepared).
Prepared prepare_vector(PyObject* seq, std::vector<float>& out);
// A non-str sequence of (id, score) tuples of length two.
bool to_scored(PyObject* seq, std::vector<tovik::ScoredPair>& out);
// The one-step conversion of a plain list or tuple of exact (int, float) pairs.
Prepared prepare_scored(PyObject* seq, std::vector<tovik::ScoredPair>& out);

// ---------------------------------------------------------------------------------------
// Result conversion

// A list of (id, score, metadata) tuples; metadata decoded with "replace".
PyObject* result_list(const std::vector<tovik::ResultTuple>& results);
// None, or the exception for the error.
PyObject* none_or_raise(const tovik::Result<void>& result);
// An int, or the exception for the error.
PyObject* int_or_raise(const tovik::Result<uint64_t>& result);

}  // namespace tovik::py
