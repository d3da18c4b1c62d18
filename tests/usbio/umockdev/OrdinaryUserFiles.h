#pragma once

// While it lives, the files this thread opens are checked against the rights
// of an ordinary user. Root opens every device node whatever its rights, so
// a test run as root takes the file system identity of nobody on this thread
// (the capabilities that pass over rights go with it, and come back after);
// anyone else is an ordinary user already.
class OrdinaryUserFiles
{
public:
    OrdinaryUserFiles();
    ~OrdinaryUserFiles();
    OrdinaryUserFiles(const OrdinaryUserFiles &) = delete;
    OrdinaryUserFiles &operator=(const OrdinaryUserFiles &) = delete;

    // Whether the thread checks rights as an ordinary user now.
    bool active() const { return m_active; }

private:
    bool m_switched = false;
    bool m_active = false;
    int m_user = 0; // the identities to go back to
    int m_group = 0;
};
