// The API frontend for programs.
