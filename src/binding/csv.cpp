// The csv and tsv submodules: loads, dumps, stream, stream_at, dumps_header,
// dumps_row, and the CsvStream class they share.
#include "binding/functions.hpp"

namespace tabrix::py {

namespace {

constexpr const char kCsvStreamDoc[] =
    "Row-at-a-time CSV iterator. The document lives in the reader (bytes or file), only\n"
    "one record is materialized per `next`, and each cell is typed on its own \xE2\x80\x94 while\n"
    "streaming there is no whole-column view, so mixed-kind columns may vary per row\n"
    "(`loads` keeps the global column-wise inference over the whole document).";

PyType_Slot csv_stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(kCsvStreamDoc)},
    {0, nullptr},
};

PyType_Spec csv_stream_spec = {
    "tabrix._native.CsvStream",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    csv_stream_slots,
};

ProcessOnce csv_stream_class;

template <char Delimiter>
struct Codec {
    static constexpr const char* module = Delimiter == ',' ? "csv" : "tsv";
    static PyResult loads(PyObject*, Text) { return not_available(module, "loads"); }
    static PyResult dumps(PyObject*, PyObject*) { return not_available(module, "dumps"); }
    static PyResult stream(PyObject*, PyObject*) { return not_available(module, "stream"); }
    static PyResult stream_at(PyObject*, Text) { return not_available(module, "stream_at"); }
    static PyResult dumps_header(PyObject*, PyObject*) { return not_available(module, "dumps_header"); }
    static PyResult dumps_row(PyObject*, PyObject*, PyObject*, PyObject*) {
        return not_available(module, "dumps_row");
    }
};

using Csv = Codec<','>;
using Tsv = Codec<'\t'>;

}  // namespace

PyObject* csv_stream_type() {
    return csv_stream_class.get([] { return PyType_FromSpec(&csv_stream_spec); });
}

PyMethodDef csv_functions[] = {
    {"loads", function<kLoadsSignature, Csv::loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, Csv::dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {"stream", function<kStreamSignature, Csv::stream>(), kFastCall, "stream(data)\n--\n\n"},
    {"stream_at", function<kStreamAtSignature, Csv::stream_at>(), kFastCall, "stream_at(path)\n--\n\n"},
    {"dumps_header", function<kDumpsHeaderSignature, Csv::dumps_header>(), kFastCall, "dumps_header(header)\n--\n\n"},
    {"dumps_row", function<kDumpsRowSignature, Csv::dumps_row>(), kFastCall, "dumps_row(header, number, row)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef tsv_functions[] = {
    {"loads", function<kLoadsSignature, Tsv::loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, Tsv::dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {"stream", function<kStreamSignature, Tsv::stream>(), kFastCall, "stream(data)\n--\n\n"},
    {"stream_at", function<kStreamAtSignature, Tsv::stream_at>(), kFastCall, "stream_at(path)\n--\n\n"},
    {"dumps_header", function<kDumpsHeaderSignature, Tsv::dumps_header>(), kFastCall, "dumps_header(header)\n--\n\n"},
    {"dumps_row", function<kDumpsRowSignature, Tsv::dumps_row>(), kFastCall, "dumps_row(header, number, row)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
