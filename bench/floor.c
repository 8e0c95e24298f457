/* The floor of a read from Python: a C function that does only what any
 * store's get must, converting a fresh str key with PyUnicode_AsUTF8AndSize
 * and returning a new bytes object of the value size (or None for
 * `absent`). Vantre's per-call costs are reported as a ratio to it. Also a
 * plain memcpy timer, the limit for reads and writes of large values.
 * Built by bench/floor.py for the running interpreter; not part of the
 * module. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

static char *value;
static Py_ssize_t value_size = 100;

static PyObject *floor_get(PyObject *self, PyObject *key) {
    Py_ssize_t n;
    (void)self;
    if (PyUnicode_AsUTF8AndSize(key, &n) == NULL) return NULL;
    return PyBytes_FromStringAndSize(value, value_size);
}

/* The same as get, called the way Vantre's methods are (fast call with
 * keywords): the difference to get is the calling convention's cost. */
static PyObject *floor_get_fastcall(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames) {
    Py_ssize_t n;
    (void)self;
    if (nargs != 1 || (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "get_fastcall takes one positional argument");
        return NULL;
    }
    if (PyUnicode_AsUTF8AndSize(args[0], &n) == NULL) return NULL;
    return PyBytes_FromStringAndSize(value, value_size);
}

static PyObject *floor_absent(PyObject *self, PyObject *key) {
    Py_ssize_t n;
    (void)self;
    if (PyUnicode_AsUTF8AndSize(key, &n) == NULL) return NULL;
    Py_RETURN_NONE;
}

static PyObject *floor_set_value_size(PyObject *self, PyObject *arg) {
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    char *p;
    (void)self;
    if (n < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative size");
        return NULL;
    }
    p = calloc((size_t)n + 1, 1);
    if (p == NULL) return PyErr_NoMemory();
    free(value);
    value = p;
    value_size = n;
    Py_RETURN_NONE;
}

/* memcpy_gbps(size, span): GB/s of memcpy of `size` bytes into one buffer
 * from consecutive places of a `span`-byte source (large enough to miss
 * the processor's caches, as values read from a big store do), over at
 * least 0.2 s. */
static PyObject *floor_memcpy_gbps(PyObject *self, PyObject *args) {
    Py_ssize_t size, span;
    char *src, *dst;
    size_t pos = 0, copies, total = 0;
    struct timespec t0, t1;
    double secs;
    (void)self;
    if (!PyArg_ParseTuple(args, "nn", &size, &span)) return NULL;
    if (size <= 0 || span < size) {
        PyErr_SetString(PyExc_ValueError, "need 0 < size <= span");
        return NULL;
    }
    src = malloc((size_t)span);
    dst = malloc((size_t)size);
    if (src == NULL || dst == NULL) {
        free(src);
        free(dst);
        return PyErr_NoMemory();
    }
    memset(src, 1, (size_t)span);
    memset(dst, 0, (size_t)size);
    copies = (size_t)span / (size_t)size;
    Py_BEGIN_ALLOW_THREADS
    clock_gettime(CLOCK_MONOTONIC, &t0);
    do {
        for (size_t i = 0; i < 4096; ++i) {
            memcpy(dst, src + pos * (size_t)size, (size_t)size);
            __asm__ volatile("" : : "r"(dst) : "memory");
            if (++pos == copies) pos = 0;
        }
        total += 4096;
        clock_gettime(CLOCK_MONOTONIC, &t1);
        secs = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) * 1e-9;
    } while (secs < 0.2);
    Py_END_ALLOW_THREADS
    free(src);
    free(dst);
    return PyFloat_FromDouble((double)total * (double)size / secs / 1e9);
}

static PyMethodDef floor_methods[] = {
    {"get", floor_get, METH_O, "Convert the key, return a new bytes of the value size."},
    {"get_fastcall", (PyCFunction)(void (*)(void))floor_get_fastcall, METH_FASTCALL | METH_KEYWORDS,
     "get, with Vantre's calling convention."},
    {"absent", floor_absent, METH_O, "Convert the key, return None."},
    {"set_value_size", floor_set_value_size, METH_O, "Size of the bytes get returns."},
    {"memcpy_gbps", floor_memcpy_gbps, METH_VARARGS, "memcpy throughput in GB/s."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_vantre_floor", NULL, -1, floor_methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__vantre_floor(void) {
    value = calloc((size_t)value_size + 1, 1);
    if (value == NULL) return PyErr_NoMemory();
    return PyModule_Create(&floor_module);
}
