"""What the command line (_cli) and the viewer (_view) share, so that
neither reaches into the other: reading an input file and wording its
failures, exit codes and usage errors (reading.py), outputs written whole
or not at all (outputs.py), and the names of axes, units, parameters,
bands and regions (words.py)."""
