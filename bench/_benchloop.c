/* The benchmark's driver loop, in C so that no interpreted loop overhead is
 * timed or counted.
 *
 * A "call list" is a list of tuples (callable, arg0, arg1, ...). One
 * iteration makes every call of the list in order through vectorcall, with
 * the tuple's items as the positional arguments, and drops the results.
 *
 *   loop_ns(n, calls)        -> nanoseconds (CLOCK_MONOTONIC) for n iterations
 *   cg_loop(n, calls, label) -> None; n iterations with callgrind collection on,
 *                               then a callgrind dump named `label`
 *   cg_start()               -> starts callgrind instrumentation (--instr-atstart=no)
 *   running_on_valgrind()    -> int
 *
 * Under plain CPU execution the callgrind requests are a few no-op
 * instructions.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <time.h>
#include <valgrind/callgrind.h>

typedef struct {
    PyObject *fn;
    PyObject *const *args;
    Py_ssize_t nargs;
} Call;

static Call *prepare(PyObject *calls, Py_ssize_t *count) {
    if (!PyList_Check(calls)) {
        PyErr_SetString(PyExc_TypeError, "calls must be a list of tuples");
        return NULL;
    }
    Py_ssize_t n = PyList_GET_SIZE(calls);
    Call *out = PyMem_Calloc(n ? n : 1, sizeof(Call));
    if (out == NULL) {
        PyErr_NoMemory();
        return NULL;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *t = PyList_GET_ITEM(calls, i);
        if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) < 1) {
            PyMem_Free(out);
            PyErr_SetString(PyExc_TypeError, "each call must be a tuple (callable, *args)");
            return NULL;
        }
        out[i].fn = PyTuple_GET_ITEM(t, 0);
        out[i].args = &PyTuple_GET_ITEM(t, 1);
        out[i].nargs = PyTuple_GET_SIZE(t) - 1;
    }
    *count = n;
    return out;
}

/* Not static and never inlined: a stable symbol for profiles. */
__attribute__((noinline)) int bench_run_calls(Py_ssize_t n, const Call *calls, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject *r = PyObject_Vectorcall(calls[k].fn, calls[k].args, (size_t)calls[k].nargs, NULL);
            if (r == NULL) return -1;
            Py_DECREF(r);
        }
    }
    return 0;
}

static PyObject *loop_ns(PyObject *self, PyObject *args) {
    Py_ssize_t n;
    PyObject *calls;
    if (!PyArg_ParseTuple(args, "nO!", &n, &PyList_Type, &calls)) return NULL;
    Py_ssize_t count;
    Call *c = prepare(calls, &count);
    if (c == NULL) return NULL;
    Py_INCREF(calls);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int rc = bench_run_calls(n, c, count);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    Py_DECREF(calls);
    PyMem_Free(c);
    if (rc < 0) return NULL;
    long long ns = (long long)(t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec);
    return PyLong_FromLongLong(ns);
}

static PyObject *cg_loop(PyObject *self, PyObject *args) {
    Py_ssize_t n;
    PyObject *calls;
    const char *label;
    if (!PyArg_ParseTuple(args, "nO!s", &n, &PyList_Type, &calls, &label)) return NULL;
    Py_ssize_t count;
    Call *c = prepare(calls, &count);
    if (c == NULL) return NULL;
    Py_INCREF(calls);
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    int rc = bench_run_calls(n, c, count);
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT(label);
    Py_DECREF(calls);
    PyMem_Free(c);
    if (rc < 0) return NULL;
    Py_RETURN_NONE;
}

static PyObject *cg_start(PyObject *self, PyObject *unused) {
    CALLGRIND_START_INSTRUMENTATION;
    Py_RETURN_NONE;
}

static PyObject *running_on_valgrind(PyObject *self, PyObject *unused) {
    return PyLong_FromLong((long)RUNNING_ON_VALGRIND);
}

static PyMethodDef methods[] = {
    {"loop_ns", loop_ns, METH_VARARGS, NULL},
    {"cg_loop", cg_loop, METH_VARARGS, NULL},
    {"cg_start", cg_start, METH_NOARGS, NULL},
    {"running_on_valgrind", running_on_valgrind, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "_benchloop", NULL, -1, methods};

PyMODINIT_FUNC PyInit__benchloop(void) { return PyModule_Create(&moddef); }
