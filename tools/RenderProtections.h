// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The protections of a render's files: what a command line may not do to the files it reads and
// writes, checked before anything is opened for writing. Each refusal is a TUsageError whose one line
// names the file.
//
// Threads: the thread that runs the command.

#include "dsp/WaveFormat.h"
#include "tools/RenderConsole.h"
#include "tools/RenderOptions.h"

// Refuses a command line that would overwrite a file it reads, write one file twice, replace an
// existing file when the input is a device (all names are outputs then), replace an existing file that
// holds no sound of the container the output writes (RIFF/WAVE for a WAVE output, FLAC for FLAC, Ogg
// for Ogg Vorbis and Opus) unless --force says so, or write sound to a terminal; and a settings save
// over the sound input, or over an existing file that is not a settings file of its kind unless --force
// says so.
void CheckFiles(const TRenderCommand& command, const TRenderConsole& console);

// Refuses a file output whose container cannot take the outputs' format.
void CheckOutputContainers(const TRenderCommand& command, const TWaveFormat& outputFormat);

// Whether some output writes its sound to standard output (as "-", or by a name of the same file).
bool SoundGoesToStdout(const TRenderCommand& command);
