// tessaline_tools._capture_native: the capture's per-call recording in native
// code (see recorder.hpp and hot_method.cpp).
#include "recorder.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_capture_native",
    "Per-call recording of a capture: values packed at call time into a bounded store.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__capture_native() {
    if (PyType_Ready(&capture::RecorderType) < 0 || PyType_Ready(&capture::HotMethodType) < 0 ||
        PyType_Ready(&capture::ChunkType) < 0)
        return nullptr;
    PyObject* m = PyModule_Create(&module_def);
    if (m == nullptr) return nullptr;
    if (PyModule_AddObjectRef(m, "Recorder", reinterpret_cast<PyObject*>(&capture::RecorderType)) < 0 ||
        PyModule_AddObjectRef(m, "HotMethod", reinterpret_cast<PyObject*>(&capture::HotMethodType)) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
