"""The error of bad input, shared by the package and its compiled core."""


class InputError(ValueError):
    """Input the model cannot take: a site file, a parameter or a met column.

    The message is the programs' diagnostic (without the program's name) for a
    file, or names the parameter or column for input given in memory.
    `file` and `line` say where in a file (None for input in memory or where
    no line applies), `item` names the parameter, met column or results column
    at fault (None when the whole file is), and `status` is the exit status the
    program would end with (None for input in memory).
    """

    def __init__(self, message, file=None, line=None, item=None, status=None):
        super().__init__(message)
        self.message = message
        self.file = file
        self.line = line
        self.item = item
        self.status = status

    def __reduce__(self):  # keeps the attributes across processes (pickle)
        return type(self), (self.message, self.file, self.line, self.item, self.status)
