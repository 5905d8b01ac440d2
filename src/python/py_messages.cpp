#include "py_messages.hpp"

#include <string_view>

namespace noteloom::py {
namespace {

// note["pitch"] and friends; any other key is looked up as an attribute of a copy of the note.
PyObject* note_subscript(PyObject* self, PyObject* key) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string name;
    if (!convert_arg("key", key, name)) return nullptr;
    NoteMessage copy;
    PyObject* found = with_record<NoteMessage>(self, [&](const NoteMessage& n) -> PyObject* {
      if (name == "msg_type") return to_python(n.msg_type);
      for (auto [field, value] : {std::pair<std::string_view, int32_t>{"pitch", n.pitch},
                                  {"start", n.start},
                                  {"end", n.end},
                                  {"velocity", n.velocity},
                                  {"tick", n.tick},
                                  {"channel", n.channel}}) {
        if (name == field) return to_python(value);
      }
      copy = n;
      return nullptr;  // no field: looked up as an attribute of the copy, outside the borrow
    });
    if (found || PyErr_Occurred()) return found;
    PyRef fresh = PyRef::steal(new_record_object(std::move(copy)));
    if (!fresh) return nullptr;
    if (PyObject* attr = PyObject_GetAttr(fresh.get(), key)) return attr;
    PyErr_Clear();
    PyRef message = PyRef::steal(PyUnicode_FromFormat("Key '%U' not found", key));  // keeps NULs in the key
    if (message) PyErr_SetObject(PyExc_KeyError, message.get());
    return nullptr;
  });
}

PyGetSetDef note_getset[] = {
    field<NoteMessage, &NoteMessage::msg_type>("msg_type"), field<NoteMessage, &NoteMessage::pitch>("pitch"),
    field<NoteMessage, &NoteMessage::start>("start"),       field<NoteMessage, &NoteMessage::end>("end"),
    field<NoteMessage, &NoteMessage::velocity>("velocity"), field<NoteMessage, &NoteMessage::tick>("tick"),
    field<NoteMessage, &NoteMessage::channel>("channel"),   {},
};
PyGetSetDef tempo_getset[] = {
    field<TempoMessage, &TempoMessage::msg_type>("msg_type"),
    field<TempoMessage, &TempoMessage::data>("data"),
    field<TempoMessage, &TempoMessage::tick>("tick"),
    {},
};
PyGetSetDef instrument_getset[] = {
    field<InstrumentMessage, &InstrumentMessage::msg_type>("msg_type"),
    field<InstrumentMessage, &InstrumentMessage::data>("data"),
    field<InstrumentMessage, &InstrumentMessage::tick>("tick"),
    field<InstrumentMessage, &InstrumentMessage::channel>("channel"),
    {},
};
PyGetSetDef pedal_getset[] = {
    field<PedalMessage, &PedalMessage::msg_type>("msg_type"),
    field<PedalMessage, &PedalMessage::data>("data"),
    field<PedalMessage, &PedalMessage::tick>("tick"),
    field<PedalMessage, &PedalMessage::channel>("channel"),
    {},
};
// The Python form of a meta message has no tick.
PyGetSetDef meta_getset[] = {
    field<MetaMessage, &MetaMessage::msg_type>("msg_type"),
    field<MetaMessage, &MetaMessage::data>("data"),
    {},
};

template <typename Rec, PyGetSetDef* GetSet>
PyType_Slot message_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<Rec>)},
    {Py_tp_getset, GetSet},
    {0, nullptr},
};

// NoteMessage alone is subscriptable.
PyType_Slot note_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_object_dealloc<NoteMessage>)},
    {Py_tp_getset, note_getset},
    {Py_mp_subscript, reinterpret_cast<void*>(note_subscript)},
    {0, nullptr},
};

template <typename Rec>
constexpr PyType_Spec message_spec(const char* name, PyType_Slot* slots) {
  return class_spec<RecordObject<Rec>>(name, slots);
}

PyType_Spec note_spec = message_spec<NoteMessage>("noteloom.korvi._korvi.NoteMessage", note_slots);
PyType_Spec tempo_spec =
    message_spec<TempoMessage>("noteloom.korvi._korvi.TempoMessage", message_slots<TempoMessage, tempo_getset>);
PyType_Spec instrument_spec = message_spec<InstrumentMessage>("noteloom.korvi._korvi.InstrumentMessage",
                                                              message_slots<InstrumentMessage, instrument_getset>);
PyType_Spec pedal_spec =
    message_spec<PedalMessage>("noteloom.korvi._korvi.PedalMessage", message_slots<PedalMessage, pedal_getset>);
PyType_Spec meta_spec =
    message_spec<MetaMessage>("noteloom.korvi._korvi.MetaMessage", message_slots<MetaMessage, meta_getset>);

// A message of class `cls` with default fields: how a message is rebuilt (then its fields set) when
// it is unpickled, since the classes themselves have no constructor.
constexpr auto kNewMessage =
    function("_new_message", {"cls"}).with_doc("A message of class `cls` with default fields.");

// One of the five message classes, as an argument.
struct MessageClass {
  PyObject* (*make)() = nullptr;  // a new instance holding a default record
};

template <typename Record>
PyObject* make_default() {
  return new_record_object(Record{});
}

bool from_python(PyObject* obj, MessageClass& out) {
  auto is = [&](TypeCell& cell) { return obj == reinterpret_cast<PyObject*>(cell.require()); };
  if (is(type_cell<NoteMessage>())) out.make = make_default<NoteMessage>;
  if (is(type_cell<TempoMessage>())) out.make = make_default<TempoMessage>;
  if (is(type_cell<InstrumentMessage>())) out.make = make_default<InstrumentMessage>;
  if (is(type_cell<PedalMessage>())) out.make = make_default<PedalMessage>;
  if (is(type_cell<MetaMessage>())) out.make = make_default<MetaMessage>;
  if (out.make == nullptr) PyErr_SetString(PyExc_TypeError, "not a message class");
  return out.make != nullptr;
}

PyObject* new_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function<kNewMessage>(args, nargs, kwnames, [](const auto& a) -> PyObject* {
    MessageClass cls;
    return a.convert(0, cls) ? cls.make() : nullptr;
  });
}

PyMethodDef new_message_def = method_def<kNewMessage, new_message>();

}  // namespace

PyMethodDef& new_message_method() { return new_message_def; }

template <>
TypeCell& type_cell<NoteMessage>() {
  static TypeCell cell(ClassSlot::NoteMessage, &note_spec);
  return cell;
}
template <>
TypeCell& type_cell<TempoMessage>() {
  static TypeCell cell(ClassSlot::TempoMessage, &tempo_spec);
  return cell;
}
template <>
TypeCell& type_cell<InstrumentMessage>() {
  static TypeCell cell(ClassSlot::InstrumentMessage, &instrument_spec);
  return cell;
}
template <>
TypeCell& type_cell<PedalMessage>() {
  static TypeCell cell(ClassSlot::PedalMessage, &pedal_spec);
  return cell;
}
template <>
TypeCell& type_cell<MetaMessage>() {
  static TypeCell cell(ClassSlot::MetaMessage, &meta_spec);
  return cell;
}

bool from_python(PyObject* obj, NoteMessage& out) { return copy_record_from(obj, out); }
bool from_python(PyObject* obj, TempoMessage& out) { return copy_record_from(obj, out); }
bool from_python(PyObject* obj, InstrumentMessage& out) { return copy_record_from(obj, out); }
bool from_python(PyObject* obj, PedalMessage& out) { return copy_record_from(obj, out); }
bool from_python(PyObject* obj, MetaMessage& out) { return copy_record_from(obj, out); }
PyObject* to_python(const NoteMessage& m) { return new_record_object(m); }
PyObject* to_python(const TempoMessage& m) { return new_record_object(m); }
PyObject* to_python(const InstrumentMessage& m) { return new_record_object(m); }
PyObject* to_python(const PedalMessage& m) { return new_record_object(m); }
PyObject* to_python(const MetaMessage& m) { return new_record_object(m); }

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

}  // namespace noteloom::py
