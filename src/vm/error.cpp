#include <ostream>

#include "machine.hpp"

namespace TruvVM {

namespace {

const char hexdigits[] = "0123456789abcdef";

void appendhex(std::string& out, byte b) {
  if (b >= 16) out += hexdigits[b >> 4];
  out += hexdigits[b & 15];
}

std::string_view displayname(const variable* v) { return v ? namestring(v->name) : namestring(VarName::Unnamed); }
std::string_view displaytag(const variable* v) { return v ? tagname(v->identifier) : tagname(Tag::Blank); }

}  // namespace

void error(std::string target, bool ismodule) {
  Machine& m = *machine;
  m.consoleout->flush();
  std::string out = "TRUV 4 VM error";
  if (ismodule) out += " within module";
  out += ": ";
  out += target;
  out += '\n';
  if (!m.silent) {
    out += "Codestack: \n";
    for (auto it = m.codestack.rbegin(); it != m.codestack.rend(); ++it) {
      const auto& bytes = it->code->bytes;
      for (std::size_t i = it->pos; i < bytes.size(); ++i) {
        appendhex(out, bytes[i]);
        out += ' ';
      }
      out += "\n-------------------------\n";
    }
    out += '\n';
    const std::vector<variable*> trace = m.calltrace();
    if (!trace.empty()) {
      out += "Calltrace: \n";
      out += "  > ";
      out += displayname(trace.back());
      out += '\n';
      for (std::size_t i = trace.size() - 1; i-- > 0;) {
        out += i == 0 ? "  < " : "/\\ ";
        out += displayname(trace[i]);
        out += " of identifier: ";
        out += displaytag(trace[i]);
        out += '\n';
      }
    }
    if (!m.datastack.empty()) {
      out += "Datastack is as follows:\n";
      for (auto it = m.datastack.rbegin(); it != m.datastack.rend(); ++it) {
        out += it->rec ? displayname(it->rec) : namestring(VarName::Unnamed);
        out += " with identifier ";
        out += tagname(it->identifier());
        out += '\n';
      }
      m.datastack.clear();
    }
  }
  m.codestack.clear();
  m.config.err->write(out.data(), static_cast<std::streamsize>(out.size()));
  m.config.err->flush();
  throw RunEnd{1};
}

}  // namespace TruvVM
