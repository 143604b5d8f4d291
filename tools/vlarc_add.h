// `vlarc a`: packs files into a new archive.
#pragma once

// argv[0] is "a"; returns the process exit status.
int vlarc_add(int argc, char** argv);
