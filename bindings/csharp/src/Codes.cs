// Result codes and the numbered values of the records, by meaning. The
// module passes them as plain integers; the names are those of the C++
// header kelvo/kelvo_results.h and the Python binding
// (docs/arguments-and-results.md holds all three, and the session tests check
// these enums against it). A number with no name here is still delivered, as
// the number cast to the enum.
namespace Kelvo
{
    /// <summary>Outcome of <see cref="KelvoClient.Connect(string, int)"/>.</summary>
    public enum ConnectResult : uint
    {
        /// <summary>Refused, unreachable, proxy failure or timeout.</summary>
        Failed = 0,
        /// <summary>Connected.</summary>
        Succeeded = 1,
    }

    /// <summary>Where the current connection's login stands (<see cref="KelvoClient.LoginState"/>).</summary>
    public enum LoginState : uint
    {
        /// <summary>No login sent, refused, logged out, or no connection.</summary>
        None = 0,
        /// <summary>Login sent, no answer yet.</summary>
        Waiting = 1,
        /// <summary>The login succeeded; own data, groups and friends are arriving.</summary>
        Loading = 2,
        /// <summary>Own data, groups and the first friend list are in (or a second passed after the last of them).</summary>
        Complete = 3,
    }

    /// <summary>The server's answer to a login.</summary>
    public enum LoginCode : uint
    {
        /// <summary>Refused; the text says why.</summary>
        Refused = 0,
        /// <summary>Logged in; the text is empty.</summary>
        Succeeded = 1,
    }

    /// <summary>Result of adding a user. The server's codes 5 to 14 arrive as 4 to 13, unnamed.</summary>
    public enum AddUserCode : uint
    {
        /// <summary>Failed, for a reason the server does not name.</summary>
        Failed = 0,
        /// <summary>The server took the request; the roster is unchanged.</summary>
        Acknowledged = 1,
        /// <summary>The user is now on the roster (a request was accepted, or a game master came online).</summary>
        Added = 2,
        /// <summary>Refused; kelvo-server: unknown user, the own user, or already a friend.</summary>
        Refused = 3,
    }

    /// <summary>Reply to the own add request: always <see cref="Declined"/>.</summary>
    public enum AddUserReplyCode : uint
    {
        /// <summary>The other user declined the own request.</summary>
        Declined = 0,
    }

    /// <summary>Result of removing a user.</summary>
    public enum RemoveUserCode : uint
    {
        /// <summary>Failed; kelvo-server: not a friend.</summary>
        Failed = 0,
        /// <summary>The server took the request; the roster is unchanged.</summary>
        Acknowledged = 1,
        /// <summary>The user left the roster (removed by either side, or a game master went offline).</summary>
        Removed = 2,
    }

    /// <summary>Result of moving a user. The server's codes 1, 2 and 4 to 9 pass unnamed.</summary>
    public enum MoveUserCode : uint
    {
        /// <summary>Failed; kelvo-server: unknown friend or group.</summary>
        Failed = 0,
        /// <summary>The friend's record changed: new group, new record of a known friend, or kept after the other side removed the friendship.</summary>
        Moved = 3,
    }

    /// <summary>Result of adding a group. Codes 4 to 6 pass unnamed.</summary>
    public enum AddGroupCode : uint
    {
        /// <summary>Failed, for a reason the server does not name.</summary>
        Failed = 0,
        /// <summary>The group was created and is in the table.</summary>
        Added = 1,
        /// <summary>kelvo-server: another group has the name; the record is that group.</summary>
        NameTaken = 2,
        /// <summary>kelvo-server: empty name, unknown parent or too many groups.</summary>
        Refused = 3,
    }

    /// <summary>Result of updating or renaming a group.</summary>
    public enum UpdateGroupCode : uint
    {
        /// <summary>The group was not changed; kelvo-server: unknown group, empty or taken name.</summary>
        Failed = 0,
        /// <summary>The group was updated or renamed.</summary>
        Updated = 1,
    }

    /// <summary>Result of deleting a group.</summary>
    public enum DeleteGroupCode : uint
    {
        /// <summary>The group was not deleted; kelvo-server: unknown group.</summary>
        Failed = 0,
        /// <summary>The group is gone; its members are filed under its parent.</summary>
        Deleted = 1,
    }

    /// <summary>A user's presence (<see cref="UserRecord.OnlineState"/>), and the GetUsers filter.</summary>
    public enum OnlineState : byte
    {
        /// <summary>As a filter: any state.</summary>
        Any = 0,
        /// <summary>Offline; the game server is 0.</summary>
        Offline = 1,
        /// <summary>kelvo-server: online.</summary>
        Online = 2,
    }

    /// <summary>Kind of roster entry (<see cref="UserRecord.Relation"/>), and the GetUsers filter.</summary>
    public enum Relation : uint
    {
        /// <summary>As a filter: any relation.</summary>
        Any = 0,
        /// <summary>A game master the server announced.</summary>
        GameMaster = 1,
        /// <summary>kelvo-server: a friend on the own roster.</summary>
        Friend = 2,
        /// <summary>Kept on the roster, in group 3, after the other side ended the friendship.</summary>
        OneSided = 3,
    }

    /// <summary>Kind of group (<see cref="GroupRecord.GroupKind"/>), and the GetGroups filter.</summary>
    public enum GroupKind : uint
    {
        /// <summary>As a filter: any kind.</summary>
        Any = 0,
        /// <summary>kelvo-server: the kind of every group it makes.</summary>
        Friends = 1,
    }

    /// <summary>Where a chat text comes from: a user, or which server notice.</summary>
    public enum MessageKind : byte
    {
        /// <summary>Chat from a user (online or stored offline).</summary>
        Chat = 0,
        /// <summary>Server notice: a system message of another type, or an info message without flags.</summary>
        Notice = 1,
        /// <summary>System message of type 1.</summary>
        SystemType1 = 2,
        /// <summary>System message of type 2.</summary>
        SystemType2 = 3,
        /// <summary>System message of type 3.</summary>
        SystemType3 = 4,
        /// <summary>System message of type 4.</summary>
        SystemType4 = 5,
        /// <summary>Info message, flag bit 0 (the lowest set bit of 0 to 6 wins).</summary>
        InfoBit0 = 6,
        /// <summary>Info message, flag bit 1.</summary>
        InfoBit1 = 7,
        /// <summary>Info message, flag bit 2.</summary>
        InfoBit2 = 8,
        /// <summary>Info message, flag bit 3.</summary>
        InfoBit3 = 9,
        /// <summary>Info message, flag bit 4.</summary>
        InfoBit4 = 10,
        /// <summary>Info message, flag bit 5.</summary>
        InfoBit5 = 11,
        /// <summary>Info message, flag bit 6.</summary>
        InfoBit6 = 12,
        /// <summary>Info message, flag bit 7, over every other bit.</summary>
        InfoBit7 = 13,
    }

    /// <summary>Why a text argument was refused (<see cref="KelvoArgumentException.Reason"/>).</summary>
    public enum TextRefusal
    {
        /// <summary>The text is empty.</summary>
        Empty,
        /// <summary>The text is longer in GBK than the request can carry.</summary>
        TooLong,
        /// <summary>The text has a character GBK (code page 936) cannot hold, such as an emoji.</summary>
        NotEncodable,
        /// <summary>The text contains a NUL character, where the module would cut it.</summary>
        ContainsNul,
    }

    /// <summary>
    /// A text argument the request cannot carry. Thrown before anything is
    /// sent; the message names the reason, the parameter and the numbers.
    /// </summary>
    public sealed class KelvoArgumentException : System.ArgumentException
    {
        internal KelvoArgumentException(TextRefusal reason, string paramName, string message)
            : base(message, paramName)
        {
            Reason = reason;
        }

        /// <summary>Why the text was refused.</summary>
        public TextRefusal Reason { get; private set; }
    }
}
