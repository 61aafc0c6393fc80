// The calls between the program and a document server: argument and result values, call
// kinds, the fixed dispatch ids, the error a failed call raises, and one Word instance as a
// binding serves it. Both the document server (which answers calls) and the recovery engine
// (which makes them through engine/word_automation.h) build on this.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace qm::word {

// An omitted optional argument (the automation "parameter not found" error value).
struct Omitted {
    bool operator==(const Omitted&) const = default;
};
// A reference to an object living in the server.
struct ObjectRef {
    std::uint32_t id = 0;
    bool operator==(const ObjectRef&) const = default;
};

// Arguments and results. Numbers go as 16-bit integers (0, 1, 8, 9 in practice).
using Value = std::variant<Omitted, std::int16_t, bool, std::string, ObjectRef>;

inline const Value kOmitted = Omitted{};

enum class CallKind : std::uint8_t { Get = 1, Put = 2, Method = 3 };

// Fixed dispatch ids of the operations used.
namespace dispid {
inline constexpr int Visible = 23;              // Application, put
inline constexpr int Version = 24;              // Application, get
inline constexpr int Documents = 6;             // Application, get
inline constexpr int Selection = 5;             // Application, get
inline constexpr int Quit = 1105;               // Application, method (3 args)
inline constexpr int Add = 14;                  // Documents, method (4 omitted)
inline constexpr int Content = 41;              // Document, get
inline constexpr int SaveAs = 102;              // Document, method (11 args; version "9.0")
inline constexpr int SaveAs2 = 376;             // Document, method (16 args; other versions)
inline constexpr int Save = 108;                // Document, method
inline constexpr int Saved = 40;                // Document, put
inline constexpr int Close = 1105;              // Document, method (3 omitted)
inline constexpr int InsertFile = 123;          // Selection, method (name + 4 omitted)
inline constexpr int InsertAfter = 104;         // Range, method (text)
inline constexpr int InsertParagraphAfter = 161; // Range, method
} // namespace dispid

// The object id of the Application object of every connection.
inline constexpr std::uint32_t kApplicationId = 1;

// A failed automation call (the server answered with an error, died, or was ended).
class WordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One Word instance as a binding serves it.
class Connection {
public:
    virtual ~Connection() = default;
    // Performs one call; throws WordError on failure. Getters and methods without a result
    // return Omitted.
    virtual Value invoke(std::uint32_t object, int dispid, CallKind kind, const std::vector<Value>& args) = 0;
    // Performs the calls the binding still holds back (see Range::Flush); raises their failure.
    virtual void flush() {}
};

} // namespace qm::word
