/* Records of a compiled SDK: extension types whose fields are C-level
 * descriptors, for the benchmark's "cext" record layout.
 *
 *   make_type(qualname, fields) -> a new type
 *
 * `fields` is a sequence of (name, kind) pairs, kind one of
 *   'd'  a C double,    exposed by a member descriptor (T_DOUBLE)
 *   'q'  a C long long, exposed by a member descriptor (T_LONGLONG)
 *   'O'  an object,     exposed by a getset descriptor (getter and setter
 *                       functions; deleting leaves the field empty, reading
 *                       an empty field raises AttributeError)
 * Every field takes one 8-byte cell after the object header, the object
 * cells first. Instances are made by calling the type with no arguments
 * (numbers 0, objects empty) and filled by attribute assignment, as a
 * compiled SDK fills its records before handing them to a callback.
 *
 * The type is immutable, has no __dict__ and takes part in garbage
 * collection. What make_type allocates for a type (its spec, names and
 * descriptor tables) lives as long as the process: a handful of types are
 * made per benchmark process.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>
#include <string.h>

typedef struct {
    PyObject_HEAD
    PyObject *cells[1]; /* in fact as many 8-byte cells as the type has fields */
} Rec;

typedef struct {
    Py_ssize_t offset;
    const char *name;
} ObjField;

static Py_ssize_t object_cells(PyTypeObject *type) {
    /* the object fields are the getset entries, stored first */
    Py_ssize_t n = 0;
    for (PyGetSetDef *g = type->tp_getset; g && g->name; ++g) ++n;
    return n;
}

static PyObject *field_get(PyObject *self, void *closure) {
    const ObjField *f = (const ObjField *)closure;
    PyObject *v = *(PyObject **)((char *)self + f->offset);
    if (v == NULL) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                     f->name);
        return NULL;
    }
    return Py_NewRef(v);
}

static int field_set(PyObject *self, PyObject *value, void *closure) {
    const ObjField *f = (const ObjField *)closure;
    PyObject **cell = (PyObject **)((char *)self + f->offset);
    if (value == NULL && *cell == NULL) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                     f->name);
        return -1;
    }
    Py_XSETREF(*cell, Py_XNewRef(value));
    return 0;
}

static int rec_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_ssize_t n = object_cells(Py_TYPE(self));
    for (Py_ssize_t i = 0; i < n; ++i) Py_VISIT(((Rec *)self)->cells[i]);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

static int rec_clear(PyObject *self) {
    Py_ssize_t n = object_cells(Py_TYPE(self));
    for (Py_ssize_t i = 0; i < n; ++i) Py_CLEAR(((Rec *)self)->cells[i]);
    return 0;
}

static void rec_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    rec_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static char *copy_text(PyObject *s) {
    const char *utf8 = PyUnicode_AsUTF8(s);
    if (utf8 == NULL) return NULL;
    char *out = PyMem_RawMalloc(strlen(utf8) + 1);
    if (out == NULL) {
        PyErr_NoMemory();
        return NULL;
    }
    strcpy(out, utf8);
    return out;
}

static PyObject *make_type(PyObject *module, PyObject *args) {
    PyObject *qualname, *fields;
    if (!PyArg_ParseTuple(args, "UO", &qualname, &fields)) return NULL;
    PyObject *seq = PySequence_Fast(fields, "fields must be a sequence of (name, kind) pairs");
    if (seq == NULL) return NULL;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    Py_ssize_t nobj = 0, nnum = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(seq, i);
        const char *kind;
        PyObject *name;
        if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "Us", &name, &kind) ||
            strlen(kind) != 1 || !strchr("dqO", kind[0])) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "each field is (name, 'd' | 'q' | 'O')");
            Py_DECREF(seq);
            return NULL;
        }
        if (kind[0] == 'O') ++nobj; else ++nnum;
    }
    /* everything below lives as long as the type, i.e. the process */
    PyMemberDef *members = PyMem_RawCalloc((size_t)nnum + 1, sizeof(PyMemberDef));
    PyGetSetDef *getset = PyMem_RawCalloc((size_t)nobj + 1, sizeof(PyGetSetDef));
    ObjField *objfields = PyMem_RawCalloc((size_t)nobj + 1, sizeof(ObjField));
    PyType_Slot *slots = PyMem_RawCalloc(9, sizeof(PyType_Slot));
    PyType_Spec *spec = PyMem_RawCalloc(1, sizeof(PyType_Spec));
    if (!members || !getset || !objfields || !slots || !spec) {
        Py_DECREF(seq);
        return PyErr_NoMemory();
    }
    Py_ssize_t header = (Py_ssize_t)offsetof(Rec, cells);
    Py_ssize_t io = 0, in = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(seq, i);
        char *name = copy_text(PyTuple_GET_ITEM(item, 0));
        const char *kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 1));
        if (name == NULL || kind == NULL) {
            Py_DECREF(seq);
            return NULL;
        }
        if (kind[0] == 'O') {
            objfields[io].offset = header + 8 * io;
            objfields[io].name = name;
            getset[io].name = name;
            getset[io].get = field_get;
            getset[io].set = field_set;
            getset[io].closure = &objfields[io];
            ++io;
        } else {
            members[in].name = name;
            members[in].type = kind[0] == 'd' ? T_DOUBLE : T_LONGLONG;
            members[in].offset = header + 8 * (nobj + in);
            members[in].flags = 0;
            ++in;
        }
    }
    Py_DECREF(seq);
    char *tp_name = copy_text(qualname);
    if (tp_name == NULL) return NULL;
    int k = 0;
    slots[k++] = (PyType_Slot){Py_tp_new, PyType_GenericNew};
    slots[k++] = (PyType_Slot){Py_tp_dealloc, rec_dealloc};
    slots[k++] = (PyType_Slot){Py_tp_traverse, rec_traverse};
    slots[k++] = (PyType_Slot){Py_tp_clear, rec_clear};
    slots[k++] = (PyType_Slot){Py_tp_members, members};
    slots[k++] = (PyType_Slot){Py_tp_getset, getset};
    slots[k++] = (PyType_Slot){0, NULL};
    spec->name = tp_name;
    spec->basicsize = (int)(header + 8 * n);
    spec->itemsize = 0;
    spec->flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
    spec->slots = slots;
    return PyType_FromModuleAndSpec(module, spec, NULL);
}

static PyMethodDef methods[] = {
    {"make_type", make_type, METH_VARARGS, "make_type(qualname, [(name, 'd'|'q'|'O'), ...]) -> type"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "_benchrecords", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__benchrecords(void) { return PyModule_Create(&moddef); }
