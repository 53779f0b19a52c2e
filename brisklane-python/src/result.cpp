#include "result.hpp"

#include "config.hpp"

namespace brisklane {

nlohmann::json to_value(const mc_core::EuropeanCallResult& result) { return tree_of(result); }

nlohmann::json manifest(const CallIdentity& call, nlohmann::json config) {
    return {
        {"backend", "cpu_native"},
        {"config", std::move(config)},
        {"function", call.function},
        {"native_module", "brisklane._native"},
        {"performance_claim", "use benchmark artifacts for timing claims"},
        {"reproducibility",
         "deterministic for identical config, seed, native module version, and CPU runtime semantics"},
        {"schema_version", "python-native-runtime.v1"},
        {"workload", call.workload},
    };
}

namespace {

[[noreturn]] void missing(const char* key) {
    const std::string message = std::string("native pricing result did not include ") + key;
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw PythonError{};
}

double required_number(const nlohmann::json& values, const char* key) {
    const auto found = values.find(key);
    if (found == values.end() || !found->is_number()) missing(key);
    return found->get<double>();
}

PyObject* string_to_py(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

void require_finite_inputs(bool inputs_finite) {
    if (!inputs_finite) missing("price");
}

nlohmann::json pricing_envelope(const CallIdentity& call, nlohmann::json config, nlohmann::json values,
                                std::vector<std::string> warnings) {
    const double price = required_number(values, "price");
    const double std_error = required_number(values, "stderr");
    return {
        {"manifest", manifest(call, std::move(config))},
        {"price", price},
        {"stderr", std_error},
        {"values", std::move(values)},
        {"warnings", std::move(warnings)},
    };
}

nlohmann::json study_envelope(const CallIdentity& call, nlohmann::json config, nlohmann::json values) {
    return {
        {"manifest", manifest(call, std::move(config))},
        {"values", std::move(values)},
        {"warnings", nlohmann::json::array()},
    };
}

nlohmann::json stderr_envelope(const CallIdentity& call, nlohmann::json config, nlohmann::json values) {
    required_number(values, "price");
    const double std_error = required_number(values, "stderr");
    return {
        {"manifest", manifest(call, std::move(config))},
        {"stderr", std_error},
        {"values", std::move(values)},
        {"warnings", nlohmann::json::array()},
    };
}

PyObject* json_to_py(const nlohmann::json& tree) {
    using Type = nlohmann::json::value_t;
    switch (tree.type()) {
        case Type::null:
        case Type::discarded:
            Py_INCREF(Py_None);
            return Py_None;
        case Type::boolean:
            return PyBool_FromLong(tree.get<bool>() ? 1 : 0);
        case Type::number_unsigned:
            return PyLong_FromUnsignedLongLong(tree.get<std::uint64_t>());
        case Type::number_integer:
            return PyLong_FromLongLong(tree.get<std::int64_t>());
        case Type::number_float:
            return PyFloat_FromDouble(tree.get<double>());
        case Type::string:
            return string_to_py(tree.get_ref<const std::string&>());
        case Type::array: {
            PyRef list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(tree.size())));
            Py_ssize_t index = 0;
            for (const auto& item : tree) {
                PyObject* element = checked(json_to_py(item));
                PyList_SetItem(list.get(), index++, element);  // steals the reference
            }
            return list.release();
        }
        case Type::object: {
            PyRef dict = PyRef::checked(PyDict_New());
            for (const auto& [key, item] : tree.items()) {
                PyRef value = PyRef::checked(json_to_py(item));
                PyRef name = name_string(key);
                if (PyDict_SetItem(dict.get(), name.get(), value.get()) != 0) throw PythonError{};
            }
            return dict.release();
        }
        case Type::binary:
            break;
    }
    PyErr_SetString(PyExc_ValueError, "result tree holds a value JSON cannot represent");
    return nullptr;
}

}  // namespace brisklane
