"""Objects that take the integer protocol's less common paths, shared by the
frame's conversion tests."""


class HasInt:
    def __int__(self):
        return 7


class IndexOnly:
    def __index__(self):
        return 7


class IntSub(int):
    pass


class ReturnsSub:
    def __int__(self):
        return IntSub(5)


class ReturnsStr:
    def __int__(self):
        return "5"
