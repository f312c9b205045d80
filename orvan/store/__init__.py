"""Where job files live, and what they are called.

    naming    file-name escaping of asset and partition keys, the output layout
    space     how full the disk under the job files is
"""
