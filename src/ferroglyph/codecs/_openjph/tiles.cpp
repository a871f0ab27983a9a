// Tiled parallel decode: cutting a multi-tile codestream into single-tile
// codestreams and decoding them one tile per task on worker threads.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include <structmember.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "decoder.h"
#include "module.h"
#include "tile_plan.h"

namespace ferroglyph::module {

namespace {

// A read-only unsigned-byte view of `data`, or null (no exception) when
// `data` is not a C-contiguous buffer that can be seen as bytes.
PyObject* byte_view(PyObject* data) {
  py::ref view(PyMemoryView_FromObject(data));
  if (view) {
    if (!PyBuffer_IsContiguous(PyMemoryView_GET_BUFFER(view.get()), 'C')) return nullptr;
    view = py::ref(PyObject_CallMethod(view.get(), "cast", "s", "B"));
    if (view) view = py::ref(PyObject_CallMethod(view.get(), "toreadonly", nullptr));
  }
  if (!view) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_BufferError))
      PyErr_Clear();
    return nullptr;
  }
  return view.release();
}

// [(start, end), ...]
PyObject* span_list(const std::vector<tiling::span>& spans) {
  py::ref list(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < spans.size(); ++i) {
    PyObject* item = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(spans[i].start),
                                   static_cast<Py_ssize_t>(spans[i].end));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// ---------------------------------------------------------------------------
// _tile_plan(data) -> (mv, main, tiles) or None

PyObject* tile_plan_impl(PyObject*, bound_args args) {
  py::ref mv(byte_view(args[0]));
  if (!mv) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  const Py_buffer* buf = PyMemoryView_GET_BUFFER(mv.get());
  const uint8_t* b = static_cast<const uint8_t*>(buf->buf);
  const size_t n = static_cast<size_t>(buf->len);

  PyObject* soc_siz = module_attr("_SOC_SIZ");
  if (soc_siz == nullptr) return nullptr;
  char* soc_siz_bytes;
  Py_ssize_t soc_siz_len;
  if (PyBytes_AsStringAndSize(soc_siz, &soc_siz_bytes, &soc_siz_len) < 0) return nullptr;
  if (soc_siz_len != 4) Py_RETURN_NONE;

  tiling::plan plan;
  if (!tiling::make_plan(b, n, reinterpret_cast<const uint8_t*>(soc_siz_bytes), &plan))
    Py_RETURN_NONE;

  py::ref main_list(span_list(plan.main));
  if (!main_list) return nullptr;
  py::ref tiles(PyList_New(static_cast<Py_ssize_t>(plan.tiles.size())));
  if (!tiles) return nullptr;
  for (size_t t = 0; t < plan.tiles.size(); ++t) {
    const tiling::tile& tile = plan.tiles[t];
    py::ref head(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(tile.siz.data()),
                                           static_cast<Py_ssize_t>(tile.siz.size())));
    if (!head) return nullptr;
    py::ref part_list(span_list(tile.parts));
    if (!part_list) return nullptr;
    PyObject* entry = Py_BuildValue("(LLLLOO)", static_cast<long long>(tile.x0),
                                    static_cast<long long>(tile.y0), static_cast<long long>(tile.x1),
                                    static_cast<long long>(tile.y1), head.get(), part_list.get());
    if (!entry) return nullptr;
    PyList_SET_ITEM(tiles.get(), static_cast<Py_ssize_t>(t), entry);
  }
  return PyTuple_Pack(3, mv.get(), main_list.get(), tiles.get());
}

// ---------------------------------------------------------------------------
// _tile_codestream(mv, main, tile) -> bytes

// Reads a (start, end) pair that must lie inside a buffer of `n` bytes.
bool read_span(PyObject* pair, size_t n, size_t min_len, tiling::span* out) {
  Py_ssize_t s, e;
  if (!PyArg_ParseTuple(pair, "nn", &s, &e)) return false;
  if (s < 0 || e < 0 ||
      !tiling::span_fits({static_cast<size_t>(s), static_cast<size_t>(e)}, n, min_len)) {
    PyErr_Format(PyExc_ValueError, "span (%zd, %zd) does not fit a codestream of %zu bytes", s, e,
                 n);
    return false;
  }
  *out = {static_cast<size_t>(s), static_cast<size_t>(e)};
  return true;
}

bool read_spans(PyObject* seq, size_t n, size_t min_len, std::vector<tiling::span>* out) {
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
    tiling::span s;
    if (!read_span(PySequence_Fast_GET_ITEM(seq, i), n, min_len, &s)) return false;
    out->push_back(s);
  }
  return true;
}

PyObject* tile_codestream_impl(PyObject*, bound_args args) {
  py::buffer view;
  if (!view.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
  const uint8_t* b = static_cast<const uint8_t*>(view.data());
  const size_t n = static_cast<size_t>(view.size());

  py::ref main(PySequence_Fast(args[1], "main must be a sequence of (start, end) spans"));
  if (!main) return nullptr;
  py::ref tile(PySequence_Fast(args[2], "tile must be a tile entry of a tile plan"));
  if (!tile) return nullptr;
  if (PySequence_Fast_GET_SIZE(tile.get()) < 6) {
    PyErr_SetString(PyExc_ValueError, "tile must be a tile entry of a tile plan");
    return nullptr;
  }
  PyObject* head = PySequence_Fast_GET_ITEM(tile.get(), 4);
  py::buffer head_view;
  if (!head_view.acquire(head, PyBUF_SIMPLE)) return nullptr;
  py::ref parts(PySequence_Fast(PySequence_Fast_GET_ITEM(tile.get(), 5),
                                "tile-parts must be a sequence of (start, end) spans"));
  if (!parts) return nullptr;

  // Tile-parts need their SOT marker, length and index to be renumbered.
  std::vector<tiling::span> main_spans, part_spans;
  if (!read_spans(main.get(), n, 0, &main_spans) || !read_spans(parts.get(), n, 6, &part_spans))
    return nullptr;
  const size_t siz_len = static_cast<size_t>(head_view.size());
  const size_t total = tiling::tile_codestream_size(siz_len, main_spans, part_spans);
  py::ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!out) return nullptr;
  tiling::write_tile_codestream(b, static_cast<const uint8_t*>(head_view.data()), siz_len,
                                main_spans, part_spans,
                                reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())));
  return out.release();
}

// ---------------------------------------------------------------------------
// The per-call task: decode one tile and place its pixels.

struct tile_task {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* mv;
  PyObject* main;
  PyObject* planar;  // True or False
  PyObject* result;  // the output ndarray
  PyObject* failed;  // list of failed tile entries
  int comps;
  Py_ssize_t placed;  // tiles decoded and placed
};

PyTypeObject* g_tile_task_type = nullptr;

// Copies a decoded tile into its rectangle of `result`.
bool place_tile(tile_task* task, PyObject* pixels_obj, Py_ssize_t x0, Py_ssize_t y0,
                Py_ssize_t x1, Py_ssize_t y1) {
  auto* result = reinterpret_cast<PyArrayObject*>(task->result);
  if (!PyArray_Check(pixels_obj)) {
    PyErr_SetString(PyExc_TypeError, "a tile decode did not return an ndarray");
    return false;
  }
  auto* pixels = reinterpret_cast<PyArrayObject*>(pixels_obj);
  const bool planar = task->planar == Py_True;
  const int comps = task->comps;
  const Py_ssize_t w = x1 - x0, h = y1 - y0;
  const output_layout tile_layout = layout_of(comps, static_cast<int>(h), static_cast<int>(w), planar);
  const int ndim = tile_layout.ndim;
  const npy_intp want[3] = {tile_layout.dims[0], tile_layout.dims[1], tile_layout.dims[2]};
  if (PyArray_NDIM(pixels) != ndim || !PyArray_IS_C_CONTIGUOUS(pixels) ||
      !PyArray_EquivTypes(PyArray_DESCR(pixels), PyArray_DESCR(result)) ||
      std::memcmp(PyArray_DIMS(pixels), want, sizeof(npy_intp) * ndim) != 0) {
    PyErr_SetString(PyExc_ValueError, "a decoded tile does not fit its rectangle");
    return false;
  }
  const size_t item = static_cast<size_t>(PyArray_ITEMSIZE(result));
  const npy_intp* dims = PyArray_DIMS(result);
  const char* src = static_cast<const char*>(PyArray_DATA(pixels));
  char* dst = static_cast<char*>(PyArray_DATA(result));
  if (comps == 1 || !planar) {
    // Rows of w pixels (of comps samples when interleaved).
    const size_t px = comps == 1 ? item : item * static_cast<size_t>(comps);
    const size_t row_bytes = static_cast<size_t>(w) * px;
    const size_t stride = static_cast<size_t>(dims[1]) * px;
    for (Py_ssize_t r = 0; r < h; ++r)
      std::memcpy(dst + (static_cast<size_t>(y0 + r)) * stride + static_cast<size_t>(x0) * px,
                  src + static_cast<size_t>(r) * row_bytes, row_bytes);
  } else {
    const size_t row_bytes = static_cast<size_t>(w) * item;
    const size_t stride = static_cast<size_t>(dims[2]) * item;
    const size_t plane = static_cast<size_t>(dims[1]) * stride;
    for (int c = 0; c < comps; ++c)
      for (Py_ssize_t r = 0; r < h; ++r)
        std::memcpy(dst + c * plane + static_cast<size_t>(y0 + r) * stride +
                        static_cast<size_t>(x0) * item,
                    src + (static_cast<size_t>(c) * h + r) * row_bytes, row_bytes);
  }
  return true;
}

bool decode_and_place(tile_task* task, PyObject* tile) {
  Py_ssize_t x0, y0, x1, y1;
  PyObject *head, *parts;
  if (!PyArg_ParseTuple(tile, "nnnnOO", &x0, &y0, &x1, &y1, &head, &parts)) return false;
  PyObject* cs_args[3] = {task->mv, task->main, tile};
  py::ref cs(call_module_function("_tile_codestream", cs_args, 3));
  if (!cs) return false;
  PyObject* decode = module_attr("decode");
  if (decode == nullptr) return false;
  py::ref one(PyLong_FromLong(1));
  py::ref kwnames(Py_BuildValue("(sss)", "planar", "numthreads", "_tile"));
  if (!one || !kwnames) return false;
  PyObject* call_args[4] = {cs.get(), task->planar, one.get(), Py_True};
  py::ref pixels(PyObject_Vectorcall(decode, call_args, 1, kwnames.get()));
  if (!pixels) return false;
  return place_tile(task, pixels.get(), x0, y0, x1, y1);
}

PyObject* tile_task_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
  auto* task = reinterpret_cast<tile_task*>(self);
  if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
    PyErr_SetString(PyExc_TypeError, "a tile task takes exactly one tile entry");
    return nullptr;
  }
  PyObject* tile = args[0];
  if (decode_and_place(task, tile)) {
    ++task->placed;
  } else {
    // A failed tile is recorded, never raised: the whole decode that follows
    // reports the codestream's real error or warnings.  Interpreter exits
    // and interrupts are not the tile's fault and propagate.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    if (PyList_Append(task->failed, tile) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

void tile_task_dealloc(PyObject* self) {
  auto* t = reinterpret_cast<tile_task*>(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(t->mv);
  Py_CLEAR(t->main);
  Py_CLEAR(t->planar);
  Py_CLEAR(t->result);
  Py_CLEAR(t->failed);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

int tile_task_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* t = reinterpret_cast<tile_task*>(self);
  Py_VISIT(t->mv);
  Py_VISIT(t->main);
  Py_VISIT(t->result);
  Py_VISIT(t->failed);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyObject* tile_task_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return PyVectorcall_Call(self, args, kwargs);
}

PyMemberDef tile_task_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(tile_task, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot tile_task_slots[] = {
    {Py_tp_doc, const_cast<char*>("one(tile): decode one tile entry into the shared output.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(tile_task_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(tile_task_traverse)},
    {Py_tp_call, reinterpret_cast<void*>(tile_task_call)},
    {Py_tp_members, tile_task_members},
    {0, nullptr},
};

PyType_Spec tile_task_spec = {
    "ferroglyph.codecs._openjph.one",
    sizeof(tile_task),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    tile_task_slots,
};

PyObject* make_tile_task(PyObject* mv, PyObject* main, bool planar, int comps, PyObject* result,
                         PyObject* failed) {
  if (g_tile_task_type == nullptr) {
    g_tile_task_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&tile_task_spec));
    if (g_tile_task_type == nullptr) return nullptr;
  }
  auto* t = PyObject_GC_New(tile_task, g_tile_task_type);
  if (t == nullptr) return nullptr;
  t->vectorcall = tile_task_vectorcall;
  t->mv = Py_NewRef(mv);
  t->main = Py_NewRef(main);
  t->planar = Py_NewRef(planar ? Py_True : Py_False);
  t->result = Py_NewRef(result);
  t->failed = Py_NewRef(failed);
  t->comps = comps;
  t->placed = 0;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(t));
  return reinterpret_cast<PyObject*>(t);
}

// Runs run_batched inside parallel_call(), with the semantics of a `with`
// statement.  Returns 1 after a normal run, 0 when the context manager
// swallowed an exception of the run, -1 with an exception set.
int run_in_context(PyObject* parallel_call, PyObject* run_batched, PyObject* task,
                   PyObject* tiles, PyObject* workers) {
  py::ref cm(PyObject_CallNoArgs(parallel_call));
  if (!cm) return -1;
  py::ref enter(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(cm.get())), "__enter__"));
  py::ref exit(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(cm.get())), "__exit__"));
  if (!enter || !exit) return -1;
  py::ref entered(PyObject_CallOneArg(enter.get(), cm.get()));
  if (!entered) return -1;

  py::ref kwnames(Py_BuildValue("(s)", "name"));
  py::ref name(PyUnicode_FromString("htj2k-tiles"));
  if (!kwnames || !name) return -1;
  PyObject* run_args[4] = {task, tiles, workers, name.get()};
  py::ref ran(PyObject_Vectorcall(run_batched, run_args, 3, kwnames.get()));
  if (ran) {
    py::ref done(PyObject_CallFunctionObjArgs(exit.get(), cm.get(), Py_None, Py_None, Py_None,
                                              nullptr));
    return done ? 1 : -1;
  }
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* exc_type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  py::ref tb(PyException_GetTraceback(exc));
  py::ref handled(PyObject_CallFunctionObjArgs(exit.get(), cm.get(), exc_type, exc,
                                               tb ? tb.get() : Py_None, nullptr));
  if (!handled) {
    Py_DECREF(exc);
    return -1;
  }
  const int suppress = PyObject_IsTrue(handled.get());
  if (suppress < 0) {
    Py_DECREF(exc);
    return -1;
  }
  if (suppress) {
    Py_DECREF(exc);
    return 0;
  }
  PyErr_SetRaisedException(exc);
  return -1;
}

// ---------------------------------------------------------------------------
// _decode_tiled(data, numthreads, planar, out) -> ndarray or None

// Results of the steps below: go on, step aside (return None), or fail.
enum class step { go, aside, error };

// The header facts the tiled path needs, read once from decode_info (looked
// up on the module, so callers may replace it) at full resolution.
struct tiled_facts {
  py::ref info;               // owns the two objects below
  PyObject* dtype;            // what decode returns
  PyObject* color_transform;  // read only when planar is None, as decode does
  int comps, width, height;
};

step read_tiled_facts(PyObject* data, tiled_facts* out) {
  out->info = py::ref(call_module_function("decode_info", &data, 1));
  if (!out->info) {
    if (!PyErr_ExceptionMatches(g_openjph_error)) return step::error;
    PyErr_Clear();
    return step::aside;
  }
  PyObject* info = out->info.get();
  out->dtype = PyDict_GetItemString(info, "dtype");
  PyObject* nlt_obj = PyDict_GetItemString(info, "nlt_type");
  PyObject* comps_obj = PyDict_GetItemString(info, "components");
  PyObject* width_obj = PyDict_GetItemString(info, "width");
  PyObject* height_obj = PyDict_GetItemString(info, "height");
  out->color_transform = PyDict_GetItemString(info, "color_transform");
  if (!out->dtype || !nlt_obj || !comps_obj || !width_obj || !height_obj || !out->color_transform) {
    PyErr_SetString(PyExc_KeyError, "decode_info() returned an incomplete result");
    return step::error;
  }
  if (out->dtype == Py_None) return step::aside;
  int nlt;
  if (!to_int32(nlt_obj, &nlt) || !to_int32(comps_obj, &out->comps) ||
      !to_int32(width_obj, &out->width) || !to_int32(height_obj, &out->height))
    return step::error;
  // Other nonlinearities are refused (or ignored on request) by the whole decode.
  return nlt == 0 || nlt == 3 ? step::go : step::aside;
}

// The worker policy and runner of ferroglyph.core.parallel, imported at each
// call so that replacing them there takes effect.
struct runner {
  py::ref parallel_call, resolve_workers, run_batched;
};

bool import_runner(runner* r) {
  py::ref parallel(PyImport_ImportModule("ferroglyph.core.parallel"));
  if (!parallel) return false;
  r->parallel_call = py::ref(PyObject_GetAttrString(parallel.get(), "parallel_call"));
  r->resolve_workers = py::ref(PyObject_GetAttrString(parallel.get(), "resolve_workers"));
  r->run_batched = py::ref(PyObject_GetAttrString(parallel.get(), "run_batched"));
  return r->parallel_call && r->resolve_workers && r->run_batched;
}

// resolve_workers(numthreads, tile count, output_bytes=the image's bytes);
// one worker or fewer is not worth the tiles.
step resolve_tile_workers(const runner& r, PyObject* numthreads, Py_ssize_t ntiles,
                          const tiled_facts& f, py::ref* workers) {
  py::ref itemsize(PyObject_GetAttrString(f.dtype, "itemsize"));
  if (!itemsize) return step::error;
  const long long item = PyLong_AsLongLong(itemsize.get());
  if (item == -1 && PyErr_Occurred()) return step::error;
  py::ref output_bytes(
      PyLong_FromLongLong(static_cast<long long>(f.width) * f.height * f.comps * item));
  py::ref ntiles_obj(PyLong_FromSsize_t(ntiles));
  py::ref kwnames(Py_BuildValue("(s)", "output_bytes"));
  if (!output_bytes || !ntiles_obj || !kwnames) return step::error;
  PyObject* rw_args[3] = {numthreads, ntiles_obj.get(), output_bytes.get()};
  *workers = py::ref(PyObject_Vectorcall(r.resolve_workers.get(), rw_args, 2, kwnames.get()));
  if (!*workers) return step::error;
  py::ref one(PyLong_FromLong(1));
  if (!one) return step::error;
  const int too_few = PyObject_RichCompareBool(workers->get(), one.get(), Py_LE);
  if (too_few < 0) return step::error;
  return too_few ? step::aside : step::go;
}

// A new array of the output dtype, or the caller's `out` checked by
// _decode_target (looked up on the module); the tasks write into it.
bool tiled_output(PyObject* out, const output_layout& layout, PyObject* dtype, py::ref* result) {
  if (out == Py_None) {
    if (!PyArray_DescrCheck(dtype)) {
      PyErr_SetString(PyExc_TypeError, "decode_info() returned a dtype that is not a numpy.dtype");
      return false;
    }
    auto* descr = reinterpret_cast<PyArray_Descr*>(dtype);
    if (!output_fits_memory(layout, static_cast<size_t>(PyDataType_ELSIZE(descr)))) return false;
    npy_intp dims[3] = {layout.dims[0], layout.dims[1], layout.dims[2]};
    Py_INCREF(descr);
    *result = py::ref(PyArray_Empty(layout.ndim, dims, descr, 0));
  } else {
    py::ref shape(shape_tuple(layout));
    if (!shape) return false;
    PyObject* target_args[3] = {out, shape.get(), dtype};
    *result = py::ref(call_module_function("_decode_target", target_args, 3));
  }
  if (!*result) return false;
  if (!PyArray_Check(result->get()) ||
      !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(result->get()))) {
    PyErr_SetString(PyExc_TypeError, "the tiled decode needs a C-contiguous output array");
    return false;
  }
  return true;
}

// One task per tile on the runner.  The image is returned only when every
// tile was decoded and placed: a run that stopped early (its exception
// swallowed by the context manager) leaves tiles unwritten.
PyObject* run_tiles(const runner& r, PyObject* mv, PyObject* main, PyObject* tiles,
                    Py_ssize_t ntiles, PyObject* workers, bool planar, int comps,
                    py::ref result) {
  py::ref failed(PyList_New(0));
  if (!failed) return nullptr;
  py::ref task(make_tile_task(mv, main, planar, comps, result.get(), failed.get()));
  if (!task) return nullptr;
  const int ran =
      run_in_context(r.parallel_call.get(), r.run_batched.get(), task.get(), tiles, workers);
  if (ran < 0) return nullptr;
  const Py_ssize_t placed = reinterpret_cast<tile_task*>(task.get())->placed;
  if (ran == 0 || PyList_GET_SIZE(failed.get()) != 0 || placed != ntiles) Py_RETURN_NONE;
  return result.release();
}

PyObject* decode_tiled_impl(PyObject*, bound_args args) {
  PyObject *data = args[0], *numthreads = args[1], *planar_arg = args[2], *out = args[3];
  py::ref plan(call_module_function("_tile_plan", &data, 1));
  if (!plan) return nullptr;
  if (plan.get() == Py_None) Py_RETURN_NONE;
  PyObject *mv, *main, *tiles;
  if (!PyArg_ParseTuple(plan.get(), "OOO", &mv, &main, &tiles)) return nullptr;

  tiled_facts f;
  runner r;
  py::ref workers;
  step next = read_tiled_facts(data, &f);
  if (next != step::go) return next == step::aside ? Py_NewRef(Py_None) : nullptr;
  if (!import_runner(&r)) return nullptr;
  const Py_ssize_t ntiles = PyObject_Length(tiles);
  if (ntiles < 0) return nullptr;
  next = resolve_tile_workers(r, numthreads, ntiles, f, &workers);
  if (next != step::go) return next == step::aside ? Py_NewRef(Py_None) : nullptr;

  bool planar;
  py::ref result;
  if (!resolve_planar(planar_arg, f.color_transform, &planar)) return nullptr;
  const output_layout layout = layout_of(f.comps, f.height, f.width, planar);
  if (!tiled_output(out, layout, f.dtype, &result)) return nullptr;
  return run_tiles(r, mv, main, tiles, ntiles, workers.get(), planar, f.comps, std::move(result));
}

}  // namespace

const function_def k_tile_plan_def = {
    "_tile_plan",
    "How to cut a multi-tile codestream into single-tile ones, or None.\n\n"
    "Returns (mv, main, tiles): a read-only byte view of ``data``; the (start,\n"
    "end) spans of the main-header segments after SIZ (TLM and PLM left out);\n"
    "and per tile, in tile order, (x0, y0, x1, y1, head, parts): its rectangle\n"
    "in the output, its rewritten SIZ segment and the spans of its tile-parts.\n"
    "Returns None for anything it does not cut plainly (one tile, subsampled\n"
    "components, PPM, malformed segments or tile-parts, a missing tile).",
    nullptr,
    tile_plan_impl,
    1,
    {{"data", default_value::required, false}},
};

const function_def k_tile_codestream_def = {
    "_tile_codestream",
    "One tile of a multi-tile codestream as a codestream of its own.\n\n"
    "SOC, the tile's SIZ segment, the carried main-header segments, the tile's\n"
    "tile-parts renumbered as tile 0, and EOC.",
    nullptr,
    tile_codestream_impl,
    3,
    {{"mv", default_value::required, false},
     {"main", default_value::required, false},
     {"tile", default_value::required, false}},
};

const function_def k_decode_tiled_def = {
    "_decode_tiled",
    "Decode a multi-tile codestream one tile per task; None to decode it whole.\n\n"
    "Any tile that fails or draws an OpenJPH warning makes the whole attempt\n"
    "return None, so that the whole decode reports the codestream once.",
    nullptr,
    decode_tiled_impl,
    4,
    {{"data", default_value::required, false},
     {"numthreads", default_value::required, false},
     {"planar", default_value::required, false},
     {"out", default_value::required, false}},
};

}  // namespace ferroglyph::module
