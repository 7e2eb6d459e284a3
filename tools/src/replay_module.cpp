// tessaline_tools._replay_native: a replay's per-call work in native code: the
// records of a chunk read (replay_records.cpp), the calls made (replay_drive.cpp)
// and each counted into the replay's summary (replay_tally.cpp).
#include "replay_native.hpp"

namespace {

PyMethodDef methods[] = {replay::drive_method, {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_replay_native",
    "A replay's per-call work: a capture's records read, each call counted.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__replay_native() {
    if (PyType_Ready(&replay::RecordsType) < 0 || PyType_Ready(&replay::TallyType) < 0) return nullptr;
    PyObject* m = PyModule_Create(&module_def);
    if (m == nullptr) return nullptr;
    if (PyModule_AddObjectRef(m, "Records", reinterpret_cast<PyObject*>(&replay::RecordsType)) < 0 ||
        PyModule_AddObjectRef(m, "Tally", reinterpret_cast<PyObject*>(&replay::TallyType)) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
