#pragma once
// The standard library: the objects a script reaches from the program root,
// and the methods of lists, dictionaries, pointers and file objects.

#include <string>

#include "value.hpp"

namespace TruvVM {

// Method tables, installed on every new list, dictionary and pointer.
void initlistvar(variable& target);
// initlistvar and initdictvar as a copy shows them (variable::getcopy): the
// method values made in the order of their names, as a copy makes them.
void initlistvarascopy(variable& target);
void initdictvarascopy(variable& target);
void initdictvar(variable& target);
void initpntrvar(variable& target);

// A file object for a mode, without a stream.
variable* initfile(const std::string& mode);
// The file-system module.
variable* getfilesys();
// Binds the seven standard objects into the root's attributes.
void initroot(variable& root);

namespace builtin {

// Lists.
void Lgetatindex(variable* self, const Args& args);
void Lsetatindex(variable* self, const Args& args);
void Lappend(variable* self, const Args& args);
void Lcontains(variable* self, const Args& args);
void Lfind(variable* self, const Args& args);
void Lerase(variable* self, const Args& args);
void Lreverse(variable* self, const Args& args);

// Dictionaries.
void Dgetindex(variable* self, const Args& args);
void Dsetindex(variable* self, const Args& args);
void Dcontains(variable* self, const Args& args);
void Dgetkeys(variable* self, const Args& args);
void Dgetvalues(variable* self, const Args& args);

// Pointers.
void pntrget(variable* self, const Args& args);
void pntrset(variable* self, const Args& args);

// Files.
void openfile(variable* self, const Args& args);
void writefile(variable* self, const Args& args);
void readfile(variable* self, const Args& args);
void getlinefile(variable* self, const Args& args);
void closefile(variable* self, const Args& args);

// File system.
void Fexists(variable* self, const Args& args);
void Fisdir(variable* self, const Args& args);
void Fdelete(variable* self, const Args& args);
void Fcreatedir(variable* self, const Args& args);
void Flistdir(variable* self, const Args& args);
void Fcd(variable* self, const Args& args);

// Conversion and system.
void sizeoffunc(variable* self, const Args& args);
void varconv(variable* self, const Args& args);
void execcmd(variable* self, const Args& args);

}  // namespace builtin
}  // namespace TruvVM
