// `tessel_cli audit verify DIR [--key FILE]...`, the folder and the keys in any order: checks a
// folder of audit trail files, the chain alone or with the keys every MAC too. Exit 0 only when
// the whole trail holds; 1 with the reason in one line otherwise; 64 for a wrong command line.
#pragma once

int RunAudit(int argc, char** argv);
