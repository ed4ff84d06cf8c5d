#pragma once

// Each runs one Qt Test class and returns its exit status.
int runFileChooserTests(int argc, char** argv);
int runConverterDialogTests(int argc, char** argv);
