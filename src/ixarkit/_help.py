"""The guide that ixarkit.help() prints."""

_LINES = (
    "This library contains the following functions:",
    "\tlistContents('path') :    This function returns a list containing the data blocks, their dimensions and "
    "derivative type",
    "\tisIxarFile('path'):    This function returns true if the file is an Ixar file, false otherwise",
    "\tgetIxarData('path', ('data block type', 'dimensions', 'derivative')):",
    "\t\tThis function returns a Python object that contains a string parameter called description (ie: "
    "returnedObject.description)",
    "\t\tDescription contains the details of what the Python object contains based on the type of data block "
    "requested.",
    "\n For more detailed descriptions please consult the documentation.",
)


def show():
    for line in _LINES:
        print(line)
