// The Python module's native part: fax files, pages decoded to numpy rows
// with the GIL released, and rows coded to pages. The package's Python code
// (python/tavrin/) builds the public API on it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "faxfile/fax_file.h"
#include "t4/page_rows.h"

namespace py = pybind11;

namespace {

// Keeps the library's last message as the reason a call gives.
struct last_message {
    std::string text;
};

void keep_message(void *user, const char *text) { static_cast<last_message *>(user)->text = text; }

// "function: reason\n" -> "reason".
std::string reason_of(const std::string &message, const char *fallback)
{
    std::string text = message;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    const std::size_t colon = text.find(": ");
    if (colon != std::string::npos && text.substr(0, colon).find(' ') == std::string::npos)
        text.erase(0, colon + 2);
    return text.empty() ? fallback : text;
}

// tavrin.FaxError, made when the module is imported and kept for its life.
PyObject *fax_error_type = nullptr;

[[noreturn]] void raise_fax_error(const std::string &reason)
{
    PyErr_SetString(fax_error_type, reason.c_str());
    throw py::error_already_set();
}

// An open file and the reader's cursor at every PAGE_MARK_STRIDE-th page:
// the file keeps no record of each page, so one of many short pages takes
// little more memory than its bytes, and any page is a few steps away.
constexpr std::size_t PAGE_MARK_STRIDE = 16;

struct opened_file {
    fax_file_ptr file;
    std::vector<uint64_t> marks;
};

using shared_fax = std::shared_ptr<const opened_file>;

constexpr unsigned OPEN_FLAGS = FAX_FILE_NO_PAGE_RECORDS;

shared_fax opened(fax_file *file, const last_message &said)
{
    if (file == nullptr)
        raise_fax_error(reason_of(said.text, "not a fax file"));
    auto out = std::make_shared<opened_file>();
    out->file.reset(file);
    out->marks.reserve(file->page_count / PAGE_MARK_STRIDE + 1);
    uint64_t cursor = 0;
    fax_page page{};
    for (std::size_t i = 0; i < file->page_count; ++i) {
        if (i % PAGE_MARK_STRIDE == 0)
            out->marks.push_back(cursor);
        fax_file_next_page(file, &cursor, &page);
    }
    return out;
}

// The page at index, which is below the page count.
fax_page page_at(const opened_file &opened, std::size_t index)
{
    uint64_t cursor = opened.marks[index / PAGE_MARK_STRIDE];
    fax_page page{};
    for (std::size_t i = index - index % PAGE_MARK_STRIDE; i <= index; ++i)
        fax_file_next_page(opened.file.get(), &cursor, &page);
    return page;
}

bool decodable(int mode) { return mode == T4DEC_MODE_MH || mode == T4DEC_MODE_MR || mode == T4DEC_MODE_MMR; }

std::string undecodable_reason(const fax_file &file)
{
    if (file.compression >= 0)
        return "compression " + std::to_string(file.compression) + " cannot be decoded";
    const char *value = fax_file_attribute(&file, "COMPRESSION");
    return value ? "unknown compression '" + std::string(value) + "'" : "unknown compression";
}

// A decoded page: the rows the library made, owned until numpy lets go.
struct decoded {
    t4_rows rows{};
    t4dec_report report{};
    ~decoded() { t4_rows_free(&rows); }
};

std::unique_ptr<decoded> decode(const fax_file &file, const fax_page &page, std::size_t index,
                                bool decoder_lines, bool byte_pixels)
{
    if (!decodable(file.decode_mode))
        raise_fax_error(undecodable_reason(file));
    auto out = std::make_unique<decoded>();
    int result = 0;
    {
        py::gil_scoped_release unlocked;
        result = t4_page_to_rows(nullptr, page.data, page.length, file.decode_mode,
                                 (decoder_lines ? T4_ROWS_DECODER_LINES : T4_ROWS_OWN) |
                                     (byte_pixels ? T4_ROWS_BYTE_PIXELS : 0),
                                 0, &out->rows,
                                 &out->report);
    }
    if (result == T4_PAGE_TOO_MANY_LINES)
        raise_fax_error("page " + std::to_string(index + 1) + " has more than " +
                        std::to_string(T4_PAGE_DEFAULT_MAX_LINES) + " lines");
    if (result != T4_PAGE_OK)
        throw std::bad_alloc();
    return out;
}

// The rows as a numpy array over the library's buffer, which it then owns.
py::array_t<uint8_t> rows_array(std::unique_ptr<decoded> page)
{
    const py::ssize_t lines = page->rows.lines, row_bytes = page->rows.row_bytes;
    uint8_t *bits = page->rows.bits;
    decoded *owner = page.release();
    py::capsule release(owner, [](void *p) { delete static_cast<decoded *>(p); });
    return py::array_t<uint8_t>({lines, row_bytes}, {row_bytes, py::ssize_t{1}}, bits, release);
}

struct page_handle {
    shared_fax opened;
    std::size_t index;
    fax_page page;
    const fax_file &file() const { return *opened->file; }
};

struct fax_handle {
    shared_fax opened;
    const fax_file &file() const { return *opened->file; }
};

py::object code_or_none(int code) { return code < 0 ? py::object(py::none()) : py::object(py::int_(code)); }

// Codes packed rows (lines x row_bytes) as a fax file page.
py::bytes code_page(const py::array &given, int compression, int resolution)
{
    // No casting: float or wider pixels here are a caller's mistake, not packed rows.
    if (!py::isinstance<py::array_t<uint8_t>>(given))
        throw py::type_error("packed rows must be a uint8 array, not " + std::string(py::str(given.dtype())));
    if (given.ndim() != 2 || given.shape(0) == 0 || given.shape(1) == 0)
        throw py::value_error("packed rows must be a 2-D array with at least one row and one byte");
    if (given.shape(0) > INT32_MAX || given.shape(1) > T4_STANDARD_WIDTH / 8)
        throw py::value_error("packed rows must be at most " + std::to_string(T4_STANDARD_WIDTH / 8) +
                              " bytes wide");
    const auto rows = py::array_t<uint8_t, py::array::c_style>::ensure(given);
    const auto lines = static_cast<int32_t>(rows.shape(0));
    const auto row_bytes = static_cast<int32_t>(rows.shape(1));
    t4_coded_owner coded;
    last_message said;
    int result = 0;
    {
        py::gil_scoped_release unlocked;
        std::unique_ptr<enct4_context, decltype(&enct4_context_free)> ctx(enct4_context_new(),
                                                                           enct4_context_free);
        if (!ctx) {
            result = T4_PAGE_NO_MEMORY;
        } else {
            enct4_context_set_messages(ctx.get(), keep_message, &said);
            result = t4_rows_to_page(ctx.get(), rows.data(), lines, row_bytes, compression, resolution, 0,
                                     &coded.value);
        }
    }
    if (result == T4_PAGE_NO_MEMORY)
        throw std::bad_alloc();
    if (result == T4_PAGE_BAD_MODE)
        raise_fax_error("compression " + std::to_string(compression) + " cannot be coded");
    if (result != T4_PAGE_OK)
        raise_fax_error(reason_of(said.text, "the encoder failed"));
    return py::bytes(reinterpret_cast<const char *>(coded.value.bytes), coded.value.length);
}

py::list attribute_list(const fax_handle &h)
{
    py::list out;
    const fax_file &file = h.file();
    for (std::size_t i = 0; i < file.attribute_count; ++i)
        out.append(py::make_tuple(file.attributes[i].name, file.attributes[i].value));
    return out;
}

void bind_fax_file(py::module_ &m)
{
    py::class_<fax_handle>(m, "FaxFile")
        .def_property_readonly("attributes", &attribute_list)
        .def_property_readonly("resolution", [](const fax_handle &h) { return code_or_none(h.file().resolution); })
        .def_property_readonly("compression", [](const fax_handle &h) { return code_or_none(h.file().compression); })
        .def_property_readonly("pages_stated",
                               [](const fax_handle &h) {
                                   return h.file().pages_stated < 0 ? py::object(py::none())
                                                                   : py::object(py::int_(h.file().pages_stated));
                               })
        .def_property_readonly("damage",
                               [](const fax_handle &h) {
                                   return h.file().damage == FAX_DAMAGE_NONE ? py::object(py::none())
                                                                            : py::object(py::str(h.file().damage_text));
                               })
        .def("__len__", [](const fax_handle &h) { return h.file().page_count; })
        .def("_page", [](const fax_handle &h, std::size_t index) {
            if (index >= h.file().page_count)
                throw py::index_error("page index out of range");
            return page_handle{h.opened, index, page_at(*h.opened, index)};
        });
}

py::dict report_of(const page_handle &p)
{
    std::unique_ptr<decoded> page = decode(p.file(), p.page, p.index, false, false);
    py::dict out;
    out["lines"] = page->report.lines;
    out["concealed"] = page->report.concealed;
    out["clean"] = page->report.clean != 0;
    return out;
}

void bind_page(py::module_ &m)
{
    py::class_<page_handle>(m, "Page")
        .def_property_readonly("index", [](const page_handle &p) { return p.index; })
        .def_property_readonly("resolution", [](const page_handle &p) { return code_or_none(p.file().resolution); })
        .def_property_readonly("coded", [](const page_handle &p) {
            return py::bytes(reinterpret_cast<const char *>(p.page.data), p.page.length);
        })
        .def("packed", [](const page_handle &p, bool decoder_lines) {
            return rows_array(decode(p.file(), p.page, p.index, decoder_lines, false));
        }, py::arg("decoder_lines") = false)
        .def("rows", [](const page_handle &p, bool decoder_lines) {
            return rows_array(decode(p.file(), p.page, p.index, decoder_lines, true));
        }, py::arg("decoder_lines") = false)
        .def("_report", &report_of);
}

fax_handle open_path(const std::string &path)
{
    last_message said;
    fax_file *file = nullptr;
    {
        py::gil_scoped_release unlocked;
        file = fax_file_open_flags(path.c_str(), OPEN_FLAGS, keep_message, &said);
    }
    return fax_handle{opened(file, said)};
}

fax_handle open_bytes(const py::buffer &data)
{
    py::buffer_info info = data.request();
    last_message said;
    fax_file *file = fax_file_open_memory_flags(info.ptr, static_cast<std::size_t>(info.size * info.itemsize),
                                                OPEN_FLAGS, keep_message, &said);
    return fax_handle{opened(file, said)};
}

void bind_functions(py::module_ &m)
{
    m.def("open_path", &open_path);
    m.def("open_bytes", &open_bytes);
    m.def("code_page", &code_page, py::arg("packed"), py::arg("compression"), py::arg("resolution"));
}

// tavrin.FaxError, and what the module holds before its first call.
void set_up_module(py::module_ &m)
{
    m.doc() = "Native part of the tavrin fax file module";
    fax_error_type = PyErr_NewExceptionWithDoc("tavrin.FaxError", "A fax file or page the library "
                                               "refuses; the argument is the library's reason.",
                                               PyExc_Exception, nullptr);
    if (fax_error_type == nullptr)
        throw py::error_already_set();
    m.attr("FaxError") = py::reinterpret_borrow<py::object>(fax_error_type);
    // pybind11 imports numpy's API on its first array: done by two threads at
    // once, each waits for the other (one for the GIL, one for the import).
    // Importing it here, once, under the GIL, leaves nothing to wait for.
    (void)py::dtype::of<uint8_t>();
    m.attr("WIDTH") = int{T4_STANDARD_WIDTH};
    m.attr("MAX_LINES") = int{T4_PAGE_DEFAULT_MAX_LINES};
}

}  // namespace

PYBIND11_MODULE(_tavrin, m)
{
    set_up_module(m);
    bind_fax_file(m);
    bind_page(m);
    bind_functions(m);
}
