// The scenario language: one step a line, read and checked whole before
// anything is started.
//   say TEXT                      print a line of narrative (a heading)
//   TASK OPERATION...             a note operation performed in that server task
//                                 (nserver.exe create a1 mail\alice.nsf Form=Appointment ...)
//   config user add PATH          add a mail file to the "maildblookup" view
//   config user remove PATH       take it out again
//   config exclude add PATH       add a database to the "dsdlookup" view
//   config server ITEM...         change items of the "server" document
//   processor auth none|basic|session   what the demo's sample processor asks for
//   processor mode normal|404|500|hang|close   how it answers
//   processor stop | processor start   take it away and bring it back
//   sync                          wait until every task has done what it was given
//   pause MS                      wait
// Words are split as the host runner splits them ("..." keeps blanks, \" is
// a quote); a line whose first word begins with # is a comment; blank lines
// are skipped. ${NAME} stands for a value known when the scenario is played.
#pragma once

#include <istream>
#include <map>
#include <string>
#include <vector>

namespace simcli {

struct ScenarioLine {
    int number = 0;  // in the file, from 1
    std::string text;
};

// Empty when the step (its words, at least one) can be played; otherwise
// what is wrong with it. Processor steps need the demo's processor.
std::string CheckStep(const std::vector<std::string>& w, bool withProcessor);

// Reads every step and checks it. False at the first mistake, with
// `problem` set to the line to print: "tarn-sim: NAME line N: WHAT: LINE".
bool ReadScenario(std::istream& in, const std::string& name, bool withProcessor, std::vector<ScenarioLine>* out,
                  std::string* problem);

// The line with each ${KEY} replaced by its value.
std::string Substitute(std::string line, const std::map<std::string, std::string>& vars);

// The text of a "say" step: what follows the word, blanks before it dropped;
// empty for "say" alone.
std::string HeadingText(const std::string& line);

}  // namespace simcli
