"""Host framework stand-in.

Only the pieces the tessaline bridge imports are here, each in the module the
real framework keeps it in, so ``from corvix.tarrow.X import Name`` works the
same way.  Every module can be imported on its own.
"""
